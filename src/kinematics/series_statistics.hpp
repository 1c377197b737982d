#pragma once
// Summary statistics shared by the feature analyses. Sums run element by element
// in index order so that every platform reproduces the same bits.
//
// mean and population_variance take any range of doubles, so a filtered view of
// records' readings is summarised in place instead of being copied out first.

#include <cstddef>
#include <ranges>
#include <span>

namespace veltrix {

inline double sum(std::span<const double> values) {
    double total = 0.0;
    for (const double value : values) {
        total += value;
    }
    return total;
}

// An empty series has no information to report; 0.0 is the neutral feature value.
template <std::ranges::input_range Values>
double mean(Values&& values) {
    double total = 0.0;
    std::size_t count = 0;
    for (const double value : values) {
        total += value;
        ++count;
    }
    return count == 0 ? 0.0 : total / static_cast<double>(count);
}

// Population variance about a mean computed beforehand (second pass), 0.0 when empty.
template <std::ranges::input_range Values>
double population_variance(Values&& values, double values_mean) {
    double sum_of_squares = 0.0;
    std::size_t count = 0;
    for (const double value : values) {
        const double deviation = value - values_mean;
        sum_of_squares += deviation * deviation;
        ++count;
    }
    return count == 0 ? 0.0 : sum_of_squares / static_cast<double>(count);
}

}  // namespace veltrix
