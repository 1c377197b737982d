#include "kinematics/mouse_kinematics.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>

#include "kinematics/series_statistics.hpp"
#include "kinematics/time_ordered_path.hpp"

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

double distance(const TimeOrderedPath& path, std::size_t from, std::size_t to) {
    const double dx = path.x[to] - path.x[from];
    const double dy = path.y[to] - path.y[from];
    return std::sqrt(dx * dx + dy * dy);
}

// Every series of the analysis at the sample limit's length, left
// uninitialised: about 14 KiB of the caller's stack, so that no visit's
// kinematics allocate. Each series is written before it is read.
struct KinematicsSeries {
    std::array<double, kMaxUsedPoints> x;
    std::array<double, kMaxUsedPoints> y;
    std::array<double, kMaxUsedPoints> t;
    std::array<double, kMaxUsedPoints - 1> time_steps;
    std::array<double, kMaxUsedPoints - 1> velocities;
    std::array<double, kMaxUsedPoints - 2> accelerations;
};

// Per-segment series of a time-ordered path, segment i joining points i and i + 1,
// and the totals taken in segment order while the series are built.
struct Segments {
    std::span<const double> time_steps;  // floored at kMinTimeStep
    std::span<const double> velocities;
    double total_distance = 0.0;
    double time_step_sum = 0.0;
    double velocity_sum = 0.0;
    double max_velocity = 0.0;  // starts at 0.0, so a NaN speed can never become the maximum
};

Segments segments_of(const TimeOrderedPath& path, KinematicsSeries& series) {
    const std::size_t count = path.size() - 1;
    Segments segments{.time_steps = std::span(series.time_steps).first(count),
                      .velocities = std::span(series.velocities).first(count)};
    for (std::size_t i = 0; i < count; ++i) {
        const double length = distance(path, i, i + 1);
        const double step = std::max(path.t[i + 1] - path.t[i], kMinTimeStep);
        const double velocity = length / step;
        series.time_steps[i] = step;
        series.velocities[i] = velocity;
        segments.total_distance += length;
        segments.time_step_sum += step;
        segments.velocity_sum += velocity;
        if (velocity > segments.max_velocity) {
            segments.max_velocity = velocity;
        }
    }
    return segments;
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

struct AccelerationSummary {
    double mean = 0.0;
    double variance = 0.0;
    double mean_jerk_magnitude = 0.0;
};

// Acceleration divides by the later segment's step, jerk by the step after that.
// Jerk magnitudes are summed as the accelerations are derived, never stored.
AccelerationSummary summarise_acceleration(const Segments& segments, KinematicsSeries& series) {
    const std::span<const double> velocities = segments.velocities;
    const std::span<const double> time_steps = segments.time_steps;
    const std::span<double> accelerations = std::span(series.accelerations).first(velocities.size() - 1);
    double acceleration_sum = 0.0;
    double jerk_magnitude_sum = 0.0;
    for (std::size_t i = 0; i < accelerations.size(); ++i) {
        accelerations[i] = (velocities[i + 1] - velocities[i]) / time_steps[i + 1];
        acceleration_sum += accelerations[i];
        if (i > 0) {
            jerk_magnitude_sum += std::abs((accelerations[i] - accelerations[i - 1]) / time_steps[i + 1]);
        }
    }
    AccelerationSummary summary;
    summary.mean = acceleration_sum / static_cast<double>(accelerations.size());
    summary.variance = population_variance(accelerations, summary.mean);
    if (const std::size_t jerk_count = accelerations.size() - 1; jerk_count > 0) {
        summary.mean_jerk_magnitude = jerk_magnitude_sum / static_cast<double>(jerk_count);
    }
    return summary;
}

}  // namespace

MouseKinematics compute_mouse_kinematics(std::span<const MovementPoint> points) {
    MouseKinematics result;
    result.mouse_points = points.size();
    if (points.size() < kMinPointCount) {
        return result;
    }

    KinematicsSeries series;
    const TimeOrderedPath path = earliest_path(points, {series.x, series.y, series.t});
    if (path.size() >= kMinCurvaturePoints) {
        result.curvature = compute_curvature_metrics(path.x, path.y, path.t);
    }

    const Segments segments = segments_of(path, series);
    const std::span<const double> velocities = segments.velocities;
    const auto segment_count = static_cast<double>(velocities.size());

    result.total_distance = segments.total_distance;
    if (result.total_distance > kMinDistanceForStraightness) {
        const double chord = distance(path, 0, path.size() - 1);
        result.straightness = std::min(1.0, chord / result.total_distance);
    }

    result.avg_velocity = segments.velocity_sum / segment_count;
    result.max_velocity = segments.max_velocity;
    result.velocity_var = population_variance(velocities, result.avg_velocity);
    result.dt_var = population_variance(segments.time_steps, segments.time_step_sum / segment_count);
    result.terminal_decel_ratio = terminal_decel_ratio(velocities, result.max_velocity);
    result.submovement_count = submovement_count(velocities, result.max_velocity);
    if (velocities.size() >= kMinSpectralSpeeds) {
        result.spectral = compute_spectral_features(velocities, result.avg_velocity);
    }

    const AccelerationSummary acceleration = summarise_acceleration(segments, series);
    result.avg_acceleration = acceleration.mean;
    result.acceleration_var = acceleration.variance;
    result.avg_jerk = acceleration.mean_jerk_magnitude;
    return result;
}

}  // namespace veltrix
