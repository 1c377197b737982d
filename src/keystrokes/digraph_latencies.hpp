#pragma once
// Press-to-press latencies grouped by the two characters typed.

#include "keystrokes/digraph.hpp"

namespace veltrix {

// Series of them are ordered by digraph and, within one digraph, by time, so
// every sum over one digraph's latencies and every sum across digraphs is
// reproducible. No member initialisers: working storage holds them uninitialised.
struct DigraphLatency {
    Digraph digraph;
    double latency;  // milliseconds
    bool operator==(const DigraphLatency&) const = default;
};

}  // namespace veltrix
