#pragma once
// One key press as the keystroke analysis sees it. Plain data, no interpreter.

#include <optional>
#include <string>

namespace veltrix {

struct KeystrokeRecord {
    std::string key;            // UTF-8 label as reported by the browser; may be empty
    double down = 0.0;          // press time, milliseconds, any common origin
    std::optional<double> up;   // release time, when the source gave one
};

}  // namespace veltrix
