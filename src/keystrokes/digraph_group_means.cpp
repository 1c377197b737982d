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

double mean_latency(const std::vector<double>& latencies) {
    MeanAccumulator accumulator;
    for (const double latency : latencies) {
        accumulator.add(latency);
    }
    return accumulator.mean();
}

}  // namespace

std::optional<DigraphGroupMeans> digraph_group_means(const DigraphLatencies& latencies) {
    MeanAccumulator common;
    MeanAccumulator other;
    for (const auto& [digraph, digraph_latencies] : latencies) {
        (is_common_digraph(digraph) ? common : other).add(mean_latency(digraph_latencies));
    }
    if (common.empty() || other.empty()) {
        return std::nullopt;
    }
    return DigraphGroupMeans{common.mean(), other.mean()};
}

}  // namespace veltrix
