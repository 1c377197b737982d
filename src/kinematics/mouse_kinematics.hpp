#pragma once
// Kinematic summary of one visit's pointer path: distance, directness, speed,
// acceleration, end-of-path slowing, stroke count, rhythm and curvature.

#include <cstdint>
#include <span>

#include "curvature/curvature_metrics.hpp"
#include "kinematics/parsed_telemetry.hpp"
#include "kinematics/spectral_features.hpp"

namespace veltrix {

// The defaults are the values reported for a path of fewer than three samples.
struct MouseKinematics {
    std::uint64_t mouse_points = 0;  // every sample read, before the time-order limit
    double total_distance = 0.0;
    double straightness = 1.0;
    double avg_velocity = 0.0;
    double max_velocity = 0.0;
    double velocity_var = 0.0;
    double avg_acceleration = 0.0;
    double acceleration_var = 0.0;
    double avg_jerk = 0.0;
    double dt_var = 0.0;
    double terminal_decel_ratio = 1.0;
    std::uint64_t submovement_count = 0;
    SpectralFeatures spectral;
    CurvatureMetrics curvature;
};

// `points` in list order; only the 300 earliest samples by time are analysed.
MouseKinematics compute_mouse_kinematics(std::span<const MovementPoint> points);

}  // namespace veltrix
