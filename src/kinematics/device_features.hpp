#pragma once
// Interaction counts and browser properties, reported as the browser gave them.

#include <cstdint>

#include "kinematics/parsed_telemetry.hpp"

namespace veltrix {

// The defaults are those of a visit whose telemetry names no browser.
struct DeviceFeatures {
    std::uint64_t click_count = 0;
    std::uint64_t scroll_count = 0;
    bool webdriver = false;
    bool screen_valid = true;
    double screen_width = 1024.0;
    std::int64_t plugins_length = 1;
    bool touch_supported = false;
    std::int64_t max_touch_points = 0;
};

// No clamping: implausible values are themselves a signal for the scoring.
DeviceFeatures compute_device_features(const ParsedTelemetry& telemetry);

}  // namespace veltrix
