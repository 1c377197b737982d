#pragma once
// First stage of keystroke analysis: the interval series of one key sequence.

#include <cstddef>
#include <span>

#include "keystrokes/digraph_latencies.hpp"
#include "keystrokes/keystroke_record.hpp"
#include "kinematics/parsed_telemetry.hpp"
#include "platform/scratch_buffer.hpp"

namespace veltrix {

// Walks the records in press-time order, leaving them as they are, and keeps
// only the intervals inside their plausibility windows; NaN and infinite
// intervals never pass. Each series has at most one element per record, held
// inline for as many records as a visit's telemetry keeps.
class KeystrokeTiming {
  public:
    explicit KeystrokeTiming(std::span<const KeystrokeRecord> records);

    // Hold of each released key, press order.
    std::span<const double> dwell_times() const { return dwell_times_.elements().first(dwell_count_); }
    // Release to next press, press order.
    std::span<const double> flight_times() const { return flight_times_.elements().first(flight_count_); }
    // By digraph, then by time.
    std::span<const DigraphLatency> digraph_latencies() const {
        return digraph_latencies_.elements().first(digraph_count_);
    }

  private:
    static constexpr std::size_t kInlineRecords = kMaxKeystrokeListPositions;

    ScratchBuffer<double, kInlineRecords> dwell_times_;
    ScratchBuffer<double, kInlineRecords> flight_times_;
    ScratchBuffer<DigraphLatency, kInlineRecords> digraph_latencies_;
    std::size_t dwell_count_ = 0;
    std::size_t flight_count_ = 0;
    std::size_t digraph_count_ = 0;
};

}  // namespace veltrix
