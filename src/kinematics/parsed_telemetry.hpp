#pragma once
// One visit's telemetry after reading: plain data for the feature analyses.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "keystrokes/keystroke_record.hpp"

namespace veltrix {

struct MovementPoint {
    double x = 0.0;  // pixels
    double y = 0.0;  // pixels
    double t = 0.0;  // milliseconds
    double r = 0.0;  // touch contact radius
    double f = 0.0;  // touch force
};

// Keystroke list positions a reader looks at; skipped entries use up positions too.
inline constexpr std::size_t kMaxKeystrokeListPositions = 150;

struct ParsedTelemetry {
    double screen_width = 1024.0;
    double screen_height = 768.0;
    bool screen_valid = true;
    bool webdriver = false;
    bool touch_supported = false;
    std::int64_t max_touch_points = 0;
    std::int64_t plugins_length = 1;
    std::uint64_t click_count = 0;
    std::uint64_t scroll_count = 0;
    std::vector<KeystrokeRecord> keystrokes;  // at most the first 150 list positions
    std::vector<MovementPoint> points;        // every valid sample, list order
};

}  // namespace veltrix
