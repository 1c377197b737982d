#include "kinematics/mouse_kinematics.hpp"

#include <algorithm>
#include <cmath>
#include <compare>
#include <cstddef>
#include <vector>

#include "kinematics/series_statistics.hpp"

namespace veltrix {

namespace {

constexpr std::size_t kMinPointCount = 3;
constexpr std::size_t kMaxUsedPoints = 300;
constexpr std::size_t kMinCurvaturePoints = 4;
constexpr std::size_t kMinSpectralSpeeds = 8;
// Browsers stamp bursts of events with one time; a floor keeps their speeds finite.
constexpr double kMinTimeStep = 0.1;
constexpr double kMinDistanceForStraightness = 0.0001;
// Below this peak speed the pointer is considered at rest.
constexpr double kMinMovingVelocity = 0.00001;
constexpr double kPeakThresholdShare = 0.15;
constexpr std::size_t kTerminalDivisor = 4;  // the final quarter of the segments

// The 300 earliest samples, ties kept in list order. weak_order is a strict weak
// ordering even for NaN, which the sort needs for correctness.
std::vector<MovementPoint> earliest_points(std::span<const MovementPoint> points) {
    std::vector<MovementPoint> ordered(points.begin(), points.end());
    std::stable_sort(ordered.begin(), ordered.end(), [](const MovementPoint& a, const MovementPoint& b) {
        return std::is_lt(std::weak_order(a.t, b.t));
    });
    ordered.resize(std::min(ordered.size(), kMaxUsedPoints));
    return ordered;
}

CurvatureMetrics path_curvature(std::span<const MovementPoint> path) {
    std::vector<double> xs, ys, ts;
    xs.reserve(path.size());
    ys.reserve(path.size());
    ts.reserve(path.size());
    for (const MovementPoint& point : path) {
        xs.push_back(point.x);
        ys.push_back(point.y);
        ts.push_back(point.t);
    }
    return compute_curvature_metrics(xs, ys, ts);
}

double distance(const MovementPoint& from, const MovementPoint& to) {
    const double dx = to.x - from.x;
    const double dy = to.y - from.y;
    return std::sqrt(dx * dx + dy * dy);
}

// Per-segment series of a time-ordered path, segment i joining points i and i + 1.
struct Segments {
    std::vector<double> distances;
    std::vector<double> time_steps;  // floored at kMinTimeStep
    std::vector<double> velocities;
};

Segments segments_of(std::span<const MovementPoint> path) {
    const std::size_t count = path.size() - 1;
    Segments segments;
    segments.distances.reserve(count);
    segments.time_steps.reserve(count);
    segments.velocities.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const double length = distance(path[i], path[i + 1]);
        const double step = std::max(path[i + 1].t - path[i].t, kMinTimeStep);
        segments.distances.push_back(length);
        segments.time_steps.push_back(step);
        segments.velocities.push_back(length / step);
    }
    return segments;
}

// Starts from 0.0 so a NaN speed can never become the maximum.
double max_velocity_of(std::span<const double> velocities) {
    double fastest = 0.0;
    for (const double velocity : velocities) {
        if (velocity > fastest) {
            fastest = velocity;
        }
    }
    return fastest;
}

double terminal_decel_ratio(std::span<const double> velocities, double max_velocity) {
    if (!(max_velocity > kMinMovingVelocity)) {
        return 1.0;
    }
    const std::size_t tail = std::max<std::size_t>(1, velocities.size() / kTerminalDivisor);
    return mean(velocities.last(tail)) / max_velocity;
}

// Strict local maxima of the speed that reach a share of the top speed; a moving
// pointer makes at least one stroke even when its speed never peaks.
std::uint64_t submovement_count(std::span<const double> velocities, double max_velocity) {
    if (!(max_velocity > kMinMovingVelocity)) {
        return 0;
    }
    const double threshold = kPeakThresholdShare * max_velocity;
    std::uint64_t peaks = 0;
    for (std::size_t i = 1; i + 1 < velocities.size(); ++i) {
        const double v = velocities[i];
        if (v > velocities[i - 1] && v > velocities[i + 1] && v >= threshold) {
            ++peaks;
        }
    }
    return std::max<std::uint64_t>(1, peaks);
}

// Rate of change of `series` over the time step that ends each later sample:
// element i is (series[i+1] - series[i]) / time_steps[i + offset].
std::vector<double> rates_of_change(std::span<const double> series, std::span<const double> time_steps,
                                    std::size_t offset) {
    std::vector<double> rates;
    if (series.size() < 2) {
        return rates;
    }
    rates.reserve(series.size() - 1);
    for (std::size_t i = 0; i + 1 < series.size(); ++i) {
        rates.push_back((series[i + 1] - series[i]) / time_steps[i + offset]);
    }
    return rates;
}

}  // namespace

MouseKinematics compute_mouse_kinematics(std::span<const MovementPoint> points) {
    MouseKinematics result;
    result.mouse_points = points.size();
    if (points.size() < kMinPointCount) {
        return result;
    }

    const std::vector<MovementPoint> path = earliest_points(points);
    if (path.size() >= kMinCurvaturePoints) {
        result.curvature = path_curvature(path);
    }

    const Segments segments = segments_of(path);
    const std::span<const double> velocities = segments.velocities;

    result.total_distance = sum(segments.distances);
    if (result.total_distance > kMinDistanceForStraightness) {
        result.straightness = std::min(1.0, distance(path.front(), path.back()) / result.total_distance);
    }

    result.avg_velocity = mean(velocities);
    result.max_velocity = max_velocity_of(velocities);
    result.velocity_var = population_variance(velocities, result.avg_velocity);
    result.dt_var = population_variance(segments.time_steps, mean(segments.time_steps));
    result.terminal_decel_ratio = terminal_decel_ratio(velocities, result.max_velocity);
    result.submovement_count = submovement_count(velocities, result.max_velocity);
    if (velocities.size() >= kMinSpectralSpeeds) {
        result.spectral = compute_spectral_features(velocities, result.avg_velocity);
    }

    // Acceleration divides by the later segment's step, jerk by the step after that.
    const std::vector<double> accelerations = rates_of_change(velocities, segments.time_steps, 1);
    result.avg_acceleration = mean(accelerations);
    result.acceleration_var = population_variance(accelerations, result.avg_acceleration);

    std::vector<double> jerk_magnitudes = rates_of_change(accelerations, segments.time_steps, 2);
    for (double& jerk : jerk_magnitudes) {
        jerk = std::abs(jerk);
    }
    result.avg_jerk = mean(jerk_magnitudes);
    return result;
}

}  // namespace veltrix
