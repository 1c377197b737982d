#pragma once
// Discrete Fourier transform of a real series, reduced to bin powers.

#include <span>
#include <vector>

namespace veltrix {

// Power |X_k|^2 of bins k = 0 .. N/2 of `samples`: X_k sums samples[i] times
// cos and -sin of i * (k * 2pi / N) in sample order. Equal bit for bit to
// direct_power_spectrum; reuses the sines and cosines of recent series lengths.
std::vector<double> compute_power_spectrum(std::span<const double> samples);

// The same transform with every sine and cosine evaluated on the spot: the
// reference, and the path for lengths whose tables would be too large to keep.
std::vector<double> direct_power_spectrum(std::span<const double> samples);

}  // namespace veltrix
