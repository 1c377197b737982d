#pragma once
// Press-to-press latencies grouped by the two characters typed.

#include <vector>

#include "keystrokes/digraph.hpp"

namespace veltrix {

struct DigraphLatency {
    Digraph digraph = 0;
    double latency = 0.0;  // milliseconds
    bool operator==(const DigraphLatency&) const = default;
};

// Ordered by digraph and, within one digraph, by time, so every sum over one
// digraph's latencies and every sum across digraphs is reproducible.
using DigraphLatencies = std::vector<DigraphLatency>;

}  // namespace veltrix
