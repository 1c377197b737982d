#pragma once
// Direct discrete Fourier transform of a real series, reduced to bin powers.

#include <span>
#include <vector>

namespace veltrix {

// Power |X_k|^2 of bins k = 0 .. N/2 of `samples`, evaluated term by term in
// sample order. Faster replacements must reproduce these results bit for bit.
std::vector<double> compute_power_spectrum(std::span<const double> samples);

}  // namespace veltrix
