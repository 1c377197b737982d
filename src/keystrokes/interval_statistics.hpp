#pragma once
// Summary statistics of an interval series.

#include <span>

namespace veltrix {

struct MeanAndVariance {
    double mean = 0.0;
    double variance = 0.0;
};

// Population variance (divided by the count), taken about the mean in a second
// pass; sums run in index order. An empty series gives zeros.
MeanAndVariance mean_and_population_variance(std::span<const double> values);

}  // namespace veltrix
