#pragma once
// A key sequence's timing series copied out of KeystrokeTiming, whose storage
// lives only as long as it does, so tests can compare whole series.

#include <span>
#include <vector>

#include "keystrokes/keystroke_timing.hpp"

namespace veltrix::testing {

struct TimingSeries {
    explicit TimingSeries(std::span<const KeystrokeRecord> records) {
        const KeystrokeTiming timing(records);
        dwell_times.assign(timing.dwell_times().begin(), timing.dwell_times().end());
        flight_times.assign(timing.flight_times().begin(), timing.flight_times().end());
        digraph_latencies.assign(timing.digraph_latencies().begin(), timing.digraph_latencies().end());
    }
    std::vector<double> dwell_times;
    std::vector<double> flight_times;
    std::vector<DigraphLatency> digraph_latencies;
};

}  // namespace veltrix::testing
