#include "curvature/curvature_metrics.hpp"

#include <algorithm>
#include <cstddef>

#include "curvature/curvature_kernels.hpp"
#include "curvature/curvature_score.hpp"
#include "platform/scratch_buffer.hpp"

namespace veltrix {

namespace {

// Two segments are needed for one curvature value and two curvature values for one rate.
constexpr std::size_t kMinSamples = 4;

// Paths as long as the kinematics pass (their sample limit) keep their series inline.
constexpr std::size_t kInlineSamples = 300;

// Three segment series, four interior series and the rate series.
constexpr std::size_t working_elements(std::size_t samples) {
    return 3 * (samples - 1) + 4 * (samples - 2) + (samples - 3);
}

// Every working series at its exact length, carved from one buffer.
class CurvatureWorkspace {
  public:
    explicit CurvatureWorkspace(std::size_t samples) : storage_(working_elements(samples)) {
        double* next = storage_.elements().data();
        const auto carve = [&next](std::size_t length) {
            const std::span<double> series(next, length);
            next += length;
            return series;
        };
        const std::size_t segments = samples - 1;
        const std::size_t interior = samples - 2;
        series_ = {
            .dt = carve(segments),
            .vx = carve(segments),
            .vy = carve(segments),
            .dtm = carve(interior),
            .ax = carve(interior),
            .ay = carve(interior),
            .curvature = carve(interior),
            .rate = carve(samples - 3),
        };
    }

    const CurvatureSeries& series() const { return series_; }

  private:
    ScratchBuffer<double, working_elements(kInlineSamples)> storage_;
    CurvatureSeries series_;
};

struct PopulationVariances {
    double curvature;
    double rate;
};

// Both second passes in one loop: each sum still runs in index order, but the
// two addition chains are independent, so they overlap instead of queueing.
PopulationVariances population_variances(const CurvatureSeries& series, double curvature_mean, double rate_mean) {
    double curvature_squares = 0.0;
    double rate_squares = 0.0;
    std::size_t j = 0;
    for (; j < series.rate.size(); ++j) {
        const double curvature_deviation = series.curvature[j] - curvature_mean;
        curvature_squares += curvature_deviation * curvature_deviation;
        const double rate_deviation = series.rate[j] - rate_mean;
        rate_squares += rate_deviation * rate_deviation;
    }
    for (; j < series.curvature.size(); ++j) {
        const double curvature_deviation = series.curvature[j] - curvature_mean;
        curvature_squares += curvature_deviation * curvature_deviation;
    }
    return {
        .curvature = curvature_squares / static_cast<double>(series.curvature.size()),
        .rate = rate_squares / static_cast<double>(series.rate.size()),
    };
}

}  // namespace

CurvatureMetrics compute_curvature_metrics(std::span<const double> x, std::span<const double> y,
                                           std::span<const double> t) {
    const std::size_t n = std::min({x.size(), y.size(), t.size()});
    if (n < kMinSamples) {
        return {};
    }
    const CurvatureWorkspace workspace(n);
    const CurvatureSeries& series = workspace.series();
    const PathSamples path{.x = x.data(), .y = y.data(), .t = t.data(), .samples = n};
    const CurvatureSums sums = active_curvature_kernel()(path, series);

    const double curvature_mean = sums.curvature / static_cast<double>(series.curvature.size());
    const double rate_mean = sums.rate / static_cast<double>(series.rate.size());
    const PopulationVariances variances = population_variances(series, curvature_mean, rate_mean);
    const CurvatureStatistics statistics{
        .mean_curvature = curvature_mean,
        .curvature_var = variances.curvature,
        .curvature_rate_var = variances.rate,
    };
    return {
        .mean_curvature = statistics.mean_curvature,
        .curvature_var = statistics.curvature_var,
        .curvature_rate_var = statistics.curvature_rate_var,
        .curvature_score = curvature_ladder_score(statistics, series.curvature),
    };
}

}  // namespace veltrix
