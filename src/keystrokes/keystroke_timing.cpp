#include "keystrokes/keystroke_timing.hpp"

#include <algorithm>
#include <functional>
#include <optional>

#include "keystrokes/press_order.hpp"

namespace veltrix {
namespace {

// Plausibility windows, milliseconds, both bounds exclusive. Flight times may be
// negative because a fast typist presses the next key before releasing this one.
constexpr double kMaxDwell = 5000.0;
constexpr double kMinFlight = -500.0;
constexpr double kMaxFlight = 5000.0;
constexpr double kMaxDigraphLatency = 2000.0;

using Presses = std::span<const KeystrokeRecord* const>;

bool strictly_between(double value, double low, double high) { return low < value && value < high; }

void collect_dwell_times(Presses presses, std::vector<double>& out) {
    out.reserve(presses.size());
    for (const KeystrokeRecord* press : presses) {
        if (!press->up) {
            continue;
        }
        const double dwell = *press->up - press->down;
        if (strictly_between(dwell, 0.0, kMaxDwell)) {
            out.push_back(dwell);
        }
    }
}

void collect_flight_times(Presses presses, std::vector<double>& out) {
    out.reserve(presses.size());
    for (std::size_t i = 1; i < presses.size(); ++i) {
        const KeystrokeRecord& previous = *presses[i - 1];
        // Without a reported release the press itself is the best release estimate.
        const double release = previous.up.value_or(previous.down);
        const double flight = presses[i]->down - release;
        if (strictly_between(flight, kMinFlight, kMaxFlight)) {
            out.push_back(flight);
        }
    }
}

void collect_digraph_latencies(Presses presses, DigraphLatencies& out) {
    if (presses.empty()) {
        return;
    }
    out.reserve(presses.size());
    std::optional<char> earlier = presses.front()->key.digraph_character();
    for (std::size_t i = 1; i < presses.size(); ++i) {
        const std::optional<char> later = presses[i]->key.digraph_character();
        if (earlier && later) {
            const double latency = presses[i]->down - presses[i - 1]->down;
            if (strictly_between(latency, 0.0, kMaxDigraphLatency)) {
                out.push_back({make_digraph(*earlier, *later), latency});
            }
        }
        earlier = later;
    }
    // Stable, so each digraph's latencies stay in time order.
    std::ranges::stable_sort(out, std::less{}, &DigraphLatency::digraph);
}

}  // namespace

KeystrokeTiming derive_keystroke_timing(std::span<const KeystrokeRecord> records) {
    const std::vector<const KeystrokeRecord*> presses = in_press_order(records);
    KeystrokeTiming timing;
    collect_dwell_times(presses, timing.dwell_times);
    collect_flight_times(presses, timing.flight_times);
    collect_digraph_latencies(presses, timing.digraph_latencies);
    return timing;
}

}  // namespace veltrix
