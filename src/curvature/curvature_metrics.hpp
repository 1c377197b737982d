#pragma once
// Curvature naturalness of one pointer path given as parallel x, y, t series.

#include <span>

namespace veltrix {

struct CurvatureMetrics {
    double mean_curvature = 0.0;
    double curvature_var = 0.0;
    double curvature_rate_var = 0.0;
    double curvature_score = 0.0;
};

// Uses the first min(|x|, |y|, |t|) samples; fewer than four give the all-zero record.
CurvatureMetrics compute_curvature_metrics(std::span<const double> x, std::span<const double> y,
                                           std::span<const double> t);

}  // namespace veltrix
