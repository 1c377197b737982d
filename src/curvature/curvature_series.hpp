#pragma once
// The working series of one path and the step that extends them by one segment.
//
// Everything is derived in one pass over the segments: segment i (between
// samples i and i + 1) completes the interior element i - 1, whose curvature in
// turn completes the rate element i - 2. Each element is therefore written once,
// right after the values it needs.

#include <cstddef>
#include <span>

#include "curvature/curvature_element.hpp"

namespace veltrix {

// The first `samples` positions and times of a path, read in place.
struct PathSamples {
    const double* x;
    const double* y;
    const double* t;
    std::size_t samples;
};

// Lengths: segments samples - 1, interior series samples - 2, rate samples - 3.
struct CurvatureSeries {
    std::span<double> dt, vx, vy;
    std::span<double> dtm, ax, ay, curvature;
    std::span<double> rate;
};

// Accumulated element by element in index order, as the means require.
struct CurvatureSums {
    double curvature = 0.0;
    double rate = 0.0;
};

// The first segments lack the predecessors that an interior or rate element
// needs, so vector kernels run them through evaluate_segment before their blocks.
inline constexpr std::size_t kSegmentsWithoutFullHistory = 2;

inline void evaluate_segment(const PathSamples& path, const CurvatureSeries& series, CurvatureSums& sums,
                             std::size_t segment) {
    const std::size_t i = segment;
    series.dt[i] = floored_time_step(path.t[i + 1] - path.t[i]);
    series.vx[i] = rate_of_change(path.x[i], path.x[i + 1], series.dt[i]);
    series.vy[i] = rate_of_change(path.y[i], path.y[i + 1], series.dt[i]);
    if (i == 0) {
        return;
    }
    const std::size_t j = i - 1;
    series.dtm[j] = mean_time_step(series.dt[j], series.dt[i]);
    series.ax[j] = rate_of_change(series.vx[j], series.vx[i], series.dtm[j]);
    series.ay[j] = rate_of_change(series.vy[j], series.vy[i], series.dtm[j]);
    series.curvature[j] = curvature_at(series.vx[i], series.vy[i], series.ax[j], series.ay[j]);
    sums.curvature += series.curvature[j];
    if (j == 0) {
        return;
    }
    const std::size_t k = j - 1;
    series.rate[k] = rate_of_change(series.curvature[k], series.curvature[j], floored_time_step(series.dtm[j]));
    sums.rate += series.rate[k];
}

}  // namespace veltrix
