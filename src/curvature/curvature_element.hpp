#pragma once
// Per-element formulas of the curvature measure. The vector kernels' body
// (curvature_kernel_body.hpp) evaluates exactly these operations, lane by lane,
// in exactly this order, so that the chosen kernel never changes a result bit.

#include <cmath>

namespace veltrix {

// Every division by a time step uses at least this many milliseconds.
inline constexpr double kMinTimeStepMs = 0.1;

// Keeps the denominator positive for a pointer at rest.
inline constexpr double kCurvatureSpeedSquaredFloor = 0.000001;

// Zero, negative and NaN steps all fail the comparison and take the floor, so
// no division ever sees them.
inline double floored_time_step(double step) { return step > kMinTimeStepMs ? step : kMinTimeStepMs; }

inline double mean_time_step(double earlier, double later) { return (earlier + later) * 0.5; }

// Velocity from positions, acceleration from velocities, curvature rate from curvatures.
inline double rate_of_change(double earlier, double later, double time_step) { return (later - earlier) / time_step; }

// Pairs the acceleration at a sample with the velocity of the segment after it.
inline double curvature_at(double vx, double vy, double ax, double ay) {
    const double speed_squared = (vx * vx + vy * vy) + kCurvatureSpeedSquaredFloor;
    const double cross = vx * ay - vy * ax;
    return std::fabs(cross) / (speed_squared * std::sqrt(speed_squared));
}

}  // namespace veltrix
