#pragma once
// Discrete Fourier transform of a real series, reduced to bin powers.

#include <cstddef>
#include <span>

namespace veltrix {

// Bins 0 .. N/2 of an N-sample series.
constexpr std::size_t power_bin_count(std::size_t sample_count) { return sample_count / 2 + 1; }

// Writes the power |X_k|^2 of bins k = 0 .. N/2 of `samples` into `power`, which
// holds power_bin_count(N) values: X_k sums samples[i] times cos and -sin of
// i * (k * 2pi / N) in sample order. Equal bit for bit to direct_power_spectrum;
// reuses the sines and cosines of recent series lengths.
void compute_power_spectrum(std::span<const double> samples, std::span<double> power);

// The same transform with every sine and cosine evaluated on the spot: the
// reference, and the path for lengths whose tables would be too large to keep.
void direct_power_spectrum(std::span<const double> samples, std::span<double> power);

}  // namespace veltrix
