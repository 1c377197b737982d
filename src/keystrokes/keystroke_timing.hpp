#pragma once
// First stage of keystroke analysis: the interval series of one key sequence.

#include <span>
#include <vector>

#include "keystrokes/digraph_latencies.hpp"
#include "keystrokes/keystroke_record.hpp"

namespace veltrix {

struct KeystrokeTiming {
    std::vector<double> dwell_times;   // hold of each released key, press order
    std::vector<double> flight_times;  // release to next press, press order
    DigraphLatencies digraph_latencies;
};

// Walks the records in press-time order, leaving them as they are, and keeps
// only the intervals inside their plausibility windows; NaN and infinite
// intervals never pass.
KeystrokeTiming derive_keystroke_timing(std::span<const KeystrokeRecord> records);

}  // namespace veltrix
