#include "kinematics/touch_features.hpp"

#include <cstddef>

#include "kinematics/series_statistics.hpp"

namespace veltrix {
namespace {

// Mice report no contact: zero, negative and NaN readings are not touches.
bool is_contact(double reading) { return reading > 0.0; }

}  // namespace

// The contact readings are summarised where they lie, in list order, rather than
// copied out first: a phone visit's call would spend more on growing the copies
// than on the statistics.
TouchFeatures compute_touch_features(std::span<const MovementPoint> points) {
    double radius_sum = 0.0;
    double force_sum = 0.0;
    std::size_t radius_count = 0;
    std::size_t force_count = 0;
    for (const MovementPoint& point : points) {
        if (is_contact(point.r)) {
            radius_sum += point.r;
            ++radius_count;
        }
        if (is_contact(point.f)) {
            force_sum += point.f;
            ++force_count;
        }
    }
    const double avg_radius = average(radius_sum, radius_count);
    double radius_squared_deviations = 0.0;  // second pass, as population_variance does
    for (const MovementPoint& point : points) {
        if (is_contact(point.r)) {
            const double deviation = point.r - avg_radius;
            radius_squared_deviations += deviation * deviation;
        }
    }
    return {
        .avg_touch_radius = avg_radius,
        .touch_radius_var = average(radius_squared_deviations, radius_count),
        .avg_touch_force = average(force_sum, force_count),
        .touch_event_count = radius_count,
    };
}

}  // namespace veltrix
