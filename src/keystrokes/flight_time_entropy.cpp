#include "keystrokes/flight_time_entropy.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>

namespace veltrix {
namespace {

constexpr double kHistogramEnd = 800.0;  // inclusive: it lands in the last bin
constexpr double kBinWidth = 100.0;
constexpr std::size_t kBinCount = 8;
constexpr std::size_t kLastBin = kBinCount - 1;
constexpr double kMaxEntropyBits = 3.0;  // log2 of kBinCount
constexpr std::size_t kMinHistogramCount = 4;
constexpr double kNeutralEntropy = 0.5;

}  // namespace

double flight_time_entropy(std::span<const double> flight_times) {
    std::array<std::size_t, kBinCount> bins{};
    std::size_t counted = 0;
    for (const double flight : flight_times) {
        if (0.0 <= flight && flight <= kHistogramEnd) {
            // Non-negative, so truncation is the floor.
            const auto bin = static_cast<std::size_t>(flight / kBinWidth);
            ++bins[std::min(bin, kLastBin)];
            ++counted;
        }
    }
    if (counted < kMinHistogramCount) {
        return kNeutralEntropy;
    }
    const auto total = static_cast<double>(counted);
    double entropy_bits = 0.0;
    for (const std::size_t count : bins) {
        if (count != 0) {
            const double share = static_cast<double>(count) / total;
            entropy_bits -= share * std::log2(share);
        }
    }
    return entropy_bits / kMaxEntropyBits;
}

}  // namespace veltrix
