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

// Up to this many digraph latencies an insertion sort is the cheapest stable
// sort, and unlike std::stable_sort it needs no buffer.
constexpr std::size_t kMaxInsertionSortedDigraphs = 16;

using Presses = std::span<const KeystrokeRecord* const>;

bool strictly_between(double value, double low, double high) { return low < value && value < high; }

// Each collector writes its series from the front of `out` and returns its length.
std::size_t collect_dwell_times(Presses presses, std::span<double> out) {
    std::size_t count = 0;
    for (const KeystrokeRecord* press : presses) {
        if (!press->up) {
            continue;
        }
        const double dwell = *press->up - press->down;
        if (strictly_between(dwell, 0.0, kMaxDwell)) {
            out[count++] = dwell;
        }
    }
    return count;
}

std::size_t collect_flight_times(Presses presses, std::span<double> out) {
    std::size_t count = 0;
    for (std::size_t i = 1; i < presses.size(); ++i) {
        const KeystrokeRecord& previous = *presses[i - 1];
        // Without a reported release the press itself is the best release estimate.
        const double release = previous.up.value_or(previous.down);
        const double flight = presses[i]->down - release;
        if (strictly_between(flight, kMinFlight, kMaxFlight)) {
            out[count++] = flight;
        }
    }
    return count;
}

// Stable, so each digraph's latencies stay in time order.
void sort_by_digraph(std::span<DigraphLatency> latencies) {
    if (latencies.size() > kMaxInsertionSortedDigraphs) {
        std::ranges::stable_sort(latencies, std::less{}, &DigraphLatency::digraph);
        return;
    }
    for (std::size_t i = 1; i < latencies.size(); ++i) {
        const DigraphLatency latency = latencies[i];
        std::size_t slot = i;
        for (; slot > 0 && latency.digraph < latencies[slot - 1].digraph; --slot) {
            latencies[slot] = latencies[slot - 1];
        }
        latencies[slot] = latency;
    }
}

std::size_t collect_digraph_latencies(Presses presses, std::span<DigraphLatency> out) {
    if (presses.empty()) {
        return 0;
    }
    std::size_t count = 0;
    std::optional<char> earlier = presses.front()->key.digraph_character();
    for (std::size_t i = 1; i < presses.size(); ++i) {
        const std::optional<char> later = presses[i]->key.digraph_character();
        if (earlier && later) {
            const double latency = presses[i]->down - presses[i - 1]->down;
            if (strictly_between(latency, 0.0, kMaxDigraphLatency)) {
                out[count++] = {make_digraph(*earlier, *later), latency};
            }
        }
        earlier = later;
    }
    sort_by_digraph(out.first(count));
    return count;
}

}  // namespace

KeystrokeTiming::KeystrokeTiming(std::span<const KeystrokeRecord> records)
    : dwell_times_(records.size()), flight_times_(records.size()), digraph_latencies_(records.size()) {
    ScratchBuffer<const KeystrokeRecord*, kInlineRecords> presses(records.size());
    in_press_order(records, presses.elements());
    dwell_count_ = collect_dwell_times(presses.elements(), dwell_times_.elements());
    flight_count_ = collect_flight_times(presses.elements(), flight_times_.elements());
    digraph_count_ = collect_digraph_latencies(presses.elements(), digraph_latencies_.elements());
}

}  // namespace veltrix
