#pragma once
// Time order of key presses.

#include <span>
#include <vector>

#include "keystrokes/keystroke_record.hpp"

namespace veltrix {

// A copy of `records` sorted by press time, ascending and stable: equal press
// times keep their arrival order. Presses with a NaN time go after all others,
// also in arrival order.
std::vector<KeystrokeRecord> sorted_by_press_time(std::span<const KeystrokeRecord> records);

}  // namespace veltrix
