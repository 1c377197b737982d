#pragma once
// The sines and cosines that the power spectrum of an N-sample series multiplies
// its samples by, evaluated once and laid out for bin-parallel accumulation.

#include <atomic>
#include <cstddef>
#include <vector>

#include "kinematics/power_spectrum.hpp"

namespace veltrix {

// Bins accumulated side by side: one AVX2 register of doubles.
inline constexpr std::size_t kSpectrumLanes = 4;

// Frequency of `bin` in radians per sample. Product first, then the division:
// every evaluation of the transform must round its angles the same way.
inline double bin_frequency(std::size_t bin, std::size_t sample_count) {
    constexpr double kTwoPi = 6.283185307179586;
    return (static_cast<double>(bin) * kTwoPi) / static_cast<double>(sample_count);
}

// The end of a table a spectrum starts from.
enum class TableSweep : bool { forward, backward };

// Bins 0 .. N/2 in groups of kSpectrumLanes. Group g holds one row per sample i:
// the cosines of the group's bins at angle i * bin_frequency, then their sines.
// Bins past N/2 pad the last group with zeros and are never reported.
class TwiddleTable {
  public:
    static constexpr std::size_t kRowWidth = 2 * kSpectrumLanes;

    explicit TwiddleTable(std::size_t sample_count);

    static std::size_t byte_size_for(std::size_t sample_count);

    std::size_t sample_count() const { return sample_count_; }
    std::size_t bin_count() const { return power_bin_count(sample_count_); }
    std::size_t group_count() const { return group_count_for(sample_count_); }
    std::size_t byte_size() const { return values_.size() * sizeof(double); }

    // N rows of kRowWidth doubles.
    const double* group_rows(std::size_t group) const { return values_.data() + group * sample_count_ * kRowWidth; }

    // Consecutive spectra over a table sweep it in opposite directions. A table
    // of the longest visits nearly fills the processor's second-level cache, and
    // reading the next visit's objects pushes out the part of it used least
    // recently. Sweeping back starts with the part still cached and fetches only
    // what was pushed out; sweeping the same way again would start with the
    // missing part, and every line fetched would push out one needed next.
    TableSweep next_sweep() const {
        const bool backward = !last_sweep_backward_.load(std::memory_order_relaxed);
        last_sweep_backward_.store(backward, std::memory_order_relaxed);
        return backward ? TableSweep::backward : TableSweep::forward;
    }

  private:
    static std::size_t group_count_for(std::size_t sample_count);

    std::size_t sample_count_;
    std::vector<double> values_;
    // Only where the next sweep starts: any order gives the same spectrum, so
    // concurrent callers may race on it.
    mutable std::atomic<bool> last_sweep_backward_{false};
};

}  // namespace veltrix
