#pragma once
// Time order of key presses.

#include <span>

#include "keystrokes/keystroke_record.hpp"

namespace veltrix {

// Writes a pointer to each of `records` into `presses` (of the same length), by
// press time, ascending and stable: equal press times keep their arrival order.
// Presses with a NaN time go after all others, also in arrival order.
void in_press_order(std::span<const KeystrokeRecord> records, std::span<const KeystrokeRecord*> presses);

}  // namespace veltrix
