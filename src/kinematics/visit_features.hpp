#pragma once
// Every behavioural feature of one visit, and the single ordered list of their
// names that the feature dictionary follows.

#include <cstddef>
#include <string_view>

#include "keystrokes/keystroke_metrics.hpp"
#include "kinematics/device_features.hpp"
#include "kinematics/mouse_kinematics.hpp"
#include "kinematics/parsed_telemetry.hpp"
#include "kinematics/touch_features.hpp"

namespace veltrix {

// Reported when a visit has no keystroke to analyse. The entropy sits at the
// neutral midpoint so that "no typing" does not read as perfectly regular typing.
inline constexpr KeystrokeMetrics kNoKeystrokeMetrics{.digraph_entropy = 0.5};

// A default-constructed record holds the values of an empty visit.
struct VisitFeatures {
    MouseKinematics mouse;
    TouchFeatures touch;
    DeviceFeatures device;
    KeystrokeMetrics keystrokes = kNoKeystrokeMetrics;
};

VisitFeatures compute_visit_features(const ParsedTelemetry& telemetry);

inline constexpr std::size_t kVisitFeatureCount = 39;

// Calls visit(key, value) for every feature in the dictionary's fixed order, each
// value in its native type (std::uint64_t, std::int64_t, double or bool). The host's
// scoring sees this order, so it is part of the interface.
template <class Visitor>
void for_each_feature(const VisitFeatures& features, Visitor&& visit) {
    using namespace std::string_view_literals;
    const MouseKinematics& mouse = features.mouse;
    const TouchFeatures& touch = features.touch;
    const DeviceFeatures& device = features.device;
    const KeystrokeMetrics& keys = features.keystrokes;
    visit("mouse_points"sv, mouse.mouse_points);
    visit("total_distance"sv, mouse.total_distance);
    visit("straightness"sv, mouse.straightness);
    visit("avg_velocity"sv, mouse.avg_velocity);
    visit("max_velocity"sv, mouse.max_velocity);
    visit("velocity_var"sv, mouse.velocity_var);
    visit("avg_acceleration"sv, mouse.avg_acceleration);
    visit("acceleration_var"sv, mouse.acceleration_var);
    visit("avg_jerk"sv, mouse.avg_jerk);
    visit("dt_var"sv, mouse.dt_var);
    visit("click_count"sv, device.click_count);
    visit("key_count"sv, keys.key_count);
    // Two names for the flight-time mean and variance: the scoring reads both.
    visit("key_interval_avg"sv, keys.avg_flight_time);
    visit("key_interval_var"sv, keys.flight_time_var);
    visit("webdriver"sv, device.webdriver);
    visit("screen_valid"sv, device.screen_valid);
    visit("scroll_count"sv, device.scroll_count);
    visit("terminal_decel_ratio"sv, mouse.terminal_decel_ratio);
    visit("plugins_length"sv, device.plugins_length);
    visit("touch_supported"sv, device.touch_supported);
    visit("screen_width"sv, device.screen_width);
    visit("spectral_purity"sv, mouse.spectral.spectral_purity);
    visit("spectral_entropy"sv, mouse.spectral.spectral_entropy);
    visit("submovement_count"sv, mouse.submovement_count);
    visit("max_touch_points"sv, device.max_touch_points);
    visit("avg_touch_radius"sv, touch.avg_touch_radius);
    visit("touch_radius_var"sv, touch.touch_radius_var);
    visit("avg_touch_force"sv, touch.avg_touch_force);
    visit("touch_event_count"sv, touch.touch_event_count);
    visit("curvature_score"sv, mouse.curvature.curvature_score);
    visit("mean_curvature"sv, mouse.curvature.mean_curvature);
    visit("curvature_var"sv, mouse.curvature.curvature_var);
    visit("curvature_rate_var"sv, mouse.curvature.curvature_rate_var);
    visit("avg_dwell_time"sv, keys.avg_dwell_time);
    visit("dwell_time_var"sv, keys.dwell_time_var);
    visit("avg_flight_time"sv, keys.avg_flight_time);
    visit("flight_time_var"sv, keys.flight_time_var);
    visit("digraph_entropy"sv, keys.digraph_entropy);
    visit("keystroke_score"sv, keys.keystroke_score);
}

}  // namespace veltrix
