#include "kinematics/touch_features.hpp"

#include <ranges>

#include "kinematics/series_statistics.hpp"

namespace veltrix {
namespace {

// Mice report no contact: zero, negative and NaN readings are not touches.
constexpr auto is_contact = [](double reading) { return reading > 0.0; };

// The positive readings of one member, in list order, read where they lie: a
// visit's readings are summarised without a copy (and mouse visits cost nothing
// but the filtering).
auto contact_readings(std::span<const MovementPoint> points, double MovementPoint::*reading) {
    return points | std::views::transform([reading](const MovementPoint& point) { return point.*reading; }) |
           std::views::filter(is_contact);
}

}  // namespace

TouchFeatures compute_touch_features(std::span<const MovementPoint> points) {
    auto radii = contact_readings(points, &MovementPoint::r);
    const double avg_radius = mean(radii);
    return {
        .avg_touch_radius = avg_radius,
        .touch_radius_var = population_variance(radii, avg_radius),
        .avg_touch_force = mean(contact_readings(points, &MovementPoint::f)),
        .touch_event_count = static_cast<std::uint64_t>(std::ranges::distance(radii)),
    };
}

}  // namespace veltrix
