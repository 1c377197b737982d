#pragma once
// Time order of key presses.

#include <span>
#include <vector>

#include "keystrokes/keystroke_record.hpp"

namespace veltrix {

// The records by press time, ascending and stable: equal press times keep their
// arrival order. Presses with a NaN time go after all others, also in arrival
// order. Points into `records`, which must outlive the result.
std::vector<const KeystrokeRecord*> in_press_order(std::span<const KeystrokeRecord> records);

}  // namespace veltrix
