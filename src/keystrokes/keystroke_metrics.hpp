#pragma once
// Keystroke dynamics: timing series, statistics and the scripted-typing score.

#include <cstdint>
#include <span>

#include "keystrokes/keystroke_record.hpp"

namespace veltrix {

struct KeystrokeMetrics {
    std::uint64_t key_count = 0;
    double avg_dwell_time = 0.0;
    double dwell_time_var = 0.0;
    double avg_flight_time = 0.0;
    double flight_time_var = 0.0;
    double digraph_entropy = 0.0;
    double keystroke_score = 0.0;
};

// Never fails and leaves `records` as they are.
KeystrokeMetrics compute_keystroke_metrics(std::span<const KeystrokeRecord> records);

}  // namespace veltrix
