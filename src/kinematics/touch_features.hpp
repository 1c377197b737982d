#pragma once
// Touch contact statistics over every pointer sample of a visit.

#include <cstdint>
#include <span>

#include "kinematics/parsed_telemetry.hpp"

namespace veltrix {

struct TouchFeatures {
    double avg_touch_radius = 0.0;
    double touch_radius_var = 0.0;
    double avg_touch_force = 0.0;
    std::uint64_t touch_event_count = 0;  // samples with a positive contact radius
};

// Uses all samples in list order: contact data does not depend on time order.
TouchFeatures compute_touch_features(std::span<const MovementPoint> points);

}  // namespace veltrix
