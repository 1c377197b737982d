#pragma once
// Press-to-press latencies grouped by the two-character text typed.

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace veltrix {

// Digraph text (two lowercased characters, earlier key first) to its latencies
// in time order, in milliseconds. Ordered by bytes so every traversal, and so
// every sum taken over it, is reproducible.
using DigraphLatencies = std::map<std::string, std::vector<double>, std::less<>>;

}  // namespace veltrix
