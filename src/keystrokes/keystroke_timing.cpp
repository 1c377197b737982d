#include "keystrokes/keystroke_timing.hpp"

#include <string>

#include "keystrokes/key_lowering.hpp"
#include "keystrokes/press_order.hpp"

namespace veltrix {
namespace {

// Plausibility windows, milliseconds, both bounds exclusive. Flight times may be
// negative because a fast typist presses the next key before releasing this one.
constexpr double kMaxDwell = 5000.0;
constexpr double kMinFlight = -500.0;
constexpr double kMaxFlight = 5000.0;
constexpr double kMaxDigraphLatency = 2000.0;

bool strictly_between(double value, double low, double high) {
    return low < value && value < high;
}

void collect_dwell_times(std::span<const KeystrokeRecord> presses, std::vector<double>& out) {
    for (const KeystrokeRecord& press : presses) {
        if (!press.up) {
            continue;
        }
        const double dwell = *press.up - press.down;
        if (strictly_between(dwell, 0.0, kMaxDwell)) {
            out.push_back(dwell);
        }
    }
}

void collect_flight_times(std::span<const KeystrokeRecord> presses, std::vector<double>& out) {
    for (std::size_t i = 1; i < presses.size(); ++i) {
        const KeystrokeRecord& previous = presses[i - 1];
        // Without a reported release the press itself is the best release estimate.
        const double release = previous.up.value_or(previous.down);
        const double flight = presses[i].down - release;
        if (strictly_between(flight, kMinFlight, kMaxFlight)) {
            out.push_back(flight);
        }
    }
}

void collect_digraph_latencies(std::span<const KeystrokeRecord> presses, DigraphLatencies& out) {
    for (std::size_t i = 1; i < presses.size(); ++i) {
        const std::optional<char> first = lower_to_single_byte(presses[i - 1].key);
        const std::optional<char> second = lower_to_single_byte(presses[i].key);
        if (!first || !second) {
            continue;
        }
        const double latency = presses[i].down - presses[i - 1].down;
        if (strictly_between(latency, 0.0, kMaxDigraphLatency)) {
            out[std::string{*first, *second}].push_back(latency);
        }
    }
}

}  // namespace

KeystrokeTiming derive_keystroke_timing(std::span<const KeystrokeRecord> records) {
    const std::vector<KeystrokeRecord> presses = sorted_by_press_time(records);
    KeystrokeTiming timing;
    collect_dwell_times(presses, timing.dwell_times);
    collect_flight_times(presses, timing.flight_times);
    collect_digraph_latencies(presses, timing.digraph_latencies);
    return timing;
}

}  // namespace veltrix
