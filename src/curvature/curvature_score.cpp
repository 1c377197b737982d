#include "curvature/curvature_score.hpp"

#include <algorithm>
#include <cstddef>

namespace veltrix {

namespace {

// Rule 1: a path without measurable bend.
constexpr double kStraightMeanBelow = 0.000001;
constexpr double kStraightVarBelow = 0.0000001;
constexpr double kStraightScore = 0.95;

// Rule 2: a bend that hardly changes along the path.
constexpr double kSteadyVarBelow = 0.0001;
constexpr double kSteadyRateVarBelow = 0.00000001;
constexpr double kSteadyScore = 0.9;

// Rule 3: a bend that varies wildly.
constexpr double kErraticVarAbove = 10.0;
constexpr double kErraticRateVarAbove = 5.0;
constexpr double kErraticScore = 0.85;

// Rule 4: mostly sharp bends whose sharpness changes quickly.
constexpr double kSharpCurvatureAbove = 0.1;
constexpr double kSharpRateVarAbove = 2.0;
constexpr double kSharpScore = 0.75;

// Rule 5: none of the shapes above.
constexpr double kOrdinaryScore = 0.1;

bool mostly_sharp(std::span<const double> curvature) {
    const auto sharp = static_cast<std::size_t>(
        std::count_if(curvature.begin(), curvature.end(), [](double value) { return value > kSharpCurvatureAbove; }));
    return sharp > curvature.size() / 2;
}

}  // namespace

double curvature_ladder_score(const CurvatureStatistics& statistics, std::span<const double> curvature) {
    const auto& [mean, var, rate_var] = statistics;
    if (mean < kStraightMeanBelow && var < kStraightVarBelow) {
        return kStraightScore;
    }
    if (var < kSteadyVarBelow && rate_var < kSteadyRateVarBelow) {
        return kSteadyScore;
    }
    if (var > kErraticVarAbove || rate_var > kErraticRateVarAbove) {
        return kErraticScore;
    }
    if (mostly_sharp(curvature) && rate_var > kSharpRateVarAbove) {
        return kSharpScore;
    }
    return kOrdinaryScore;
}

}  // namespace veltrix
