#pragma once
// Places a path's curvature statistics on the fixed ladder of naturalness scores.

#include <span>

namespace veltrix {

struct CurvatureStatistics {
    double mean_curvature;
    double curvature_var;
    double curvature_rate_var;
};

// The first rule that holds decides; comparisons are strict, so a NaN statistic
// satisfies no rule and a NaN curvature value is never counted as high.
double curvature_ladder_score(const CurvatureStatistics& statistics, std::span<const double> curvature);

}  // namespace veltrix
