#pragma once
// Unsigned curvature of one path sample. Every kernel, scalar or vector, must
// evaluate exactly these operations in exactly this order so that the chosen
// kernel never changes a result bit.

#include <cmath>

namespace veltrix {

// Keeps the denominator positive for a pointer at rest.
inline constexpr double kCurvatureSpeedSquaredFloor = 0.000001;

// Pairs the acceleration at a sample with the velocity of the segment after it.
inline double curvature_at(double vx, double vy, double ax, double ay) {
    const double speed_squared = (vx * vx + vy * vy) + kCurvatureSpeedSquaredFloor;
    const double cross = vx * ay - vy * ax;
    return std::fabs(cross) / (speed_squared * std::sqrt(speed_squared));
}

}  // namespace veltrix
