#pragma once
// Typing speed of common letter pairs against all other pairs.

#include <optional>
#include <span>

#include "keystrokes/digraph_latencies.hpp"

namespace veltrix {

// Mean over digraphs of each digraph's mean latency, so a pair typed often
// weighs no more than one typed once.
struct DigraphGroupMeans {
    double common = 0.0;  // pairs in COMMON_DIGRAPHS
    double other = 0.0;   // every other pair
};

// `latencies` grouped by digraph, as KeystrokeTiming keeps them. nullopt unless
// both groups have at least one digraph: a comparison needs both.
std::optional<DigraphGroupMeans> digraph_group_means(std::span<const DigraphLatency> latencies);

}  // namespace veltrix
