#include "kinematics/touch_features.hpp"

#include <vector>

#include "kinematics/series_statistics.hpp"

namespace veltrix {

TouchFeatures compute_touch_features(std::span<const MovementPoint> points) {
    // Mice report no contact: zero, negative and NaN readings are not touches.
    std::vector<double> radii;
    std::vector<double> forces;
    for (const MovementPoint& point : points) {
        if (point.r > 0.0) {
            radii.push_back(point.r);
        }
        if (point.f > 0.0) {
            forces.push_back(point.f);
        }
    }
    const double avg_radius = mean(radii);
    return {
        .avg_touch_radius = avg_radius,
        .touch_radius_var = population_variance(radii, avg_radius),
        .avg_touch_force = mean(forces),
        .touch_event_count = radii.size(),
    };
}

}  // namespace veltrix
