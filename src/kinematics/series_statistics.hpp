#pragma once
// Summary statistics shared by the feature analyses. Sums run element by element
// in index order so that every platform reproduces the same bits.

#include <cstddef>
#include <span>

namespace veltrix {

inline double sum(std::span<const double> values) {
    double total = 0.0;
    for (const double value : values) {
        total += value;
    }
    return total;
}

// The average of `count` terms summing to `total`. An empty series has no
// information to report; 0.0 is the neutral feature value.
inline double average(double total, std::size_t count) { return count == 0 ? 0.0 : total / static_cast<double>(count); }

inline double mean(std::span<const double> values) { return average(sum(values), values.size()); }

// Population variance about a mean computed beforehand (second pass), 0.0 when empty.
inline double population_variance(std::span<const double> values, double values_mean) {
    double sum_of_squares = 0.0;
    for (const double value : values) {
        const double deviation = value - values_mean;
        sum_of_squares += deviation * deviation;
    }
    return average(sum_of_squares, values.size());
}

}  // namespace veltrix
