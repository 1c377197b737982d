#include "keystrokes/digraph_group_means.hpp"

#include <cstddef>

#include "keystrokes/common_digraphs.hpp"

namespace veltrix {
namespace {

class MeanAccumulator {
  public:
    void add(double value) {
        sum_ += value;
        ++count_;
    }
    bool empty() const { return count_ == 0; }
    double mean() const { return sum_ / static_cast<double>(count_); }

  private:
    double sum_ = 0.0;
    std::size_t count_ = 0;
};

}  // namespace

std::optional<DigraphGroupMeans> digraph_group_means(std::span<const DigraphLatency> latencies) {
    MeanAccumulator common;
    MeanAccumulator other;
    auto next = latencies.begin();
    while (next != latencies.end()) {
        const Digraph digraph = next->digraph;
        MeanAccumulator digraph_latency;
        for (; next != latencies.end() && next->digraph == digraph; ++next) {
            digraph_latency.add(next->latency);
        }
        (is_common_digraph(digraph) ? common : other).add(digraph_latency.mean());
    }
    if (common.empty() || other.empty()) {
        return std::nullopt;
    }
    return DigraphGroupMeans{common.mean(), other.mean()};
}

}  // namespace veltrix
