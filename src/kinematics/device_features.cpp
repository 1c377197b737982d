#include "kinematics/device_features.hpp"

namespace veltrix {

DeviceFeatures compute_device_features(const ParsedTelemetry& telemetry) {
    return {
        .click_count = telemetry.click_count,
        .scroll_count = telemetry.scroll_count,
        .webdriver = telemetry.webdriver,
        .screen_valid = telemetry.screen_valid,
        .screen_width = telemetry.screen_width,
        .plugins_length = telemetry.plugins_length,
        .touch_supported = telemetry.touch_supported,
        .max_touch_points = telemetry.max_touch_points,
    };
}

}  // namespace veltrix
