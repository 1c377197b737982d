#include "kinematics/power_spectrum.hpp"

#include <cmath>
#include <cstddef>

namespace veltrix {

namespace {

constexpr double kTwoPi = 6.283185307179586;

}  // namespace

std::vector<double> compute_power_spectrum(std::span<const double> samples) {
    const std::size_t sample_count = samples.size();
    const std::size_t highest_bin = sample_count / 2;
    std::vector<double> power(highest_bin + 1);
    for (std::size_t bin = 0; bin <= highest_bin; ++bin) {
        // Product first, then the division: the frequency must round the same way everywhere.
        const double omega = (static_cast<double>(bin) * kTwoPi) / static_cast<double>(sample_count);
        double real = 0.0;
        double imaginary = 0.0;
        for (std::size_t i = 0; i < sample_count; ++i) {
            double sine = 0.0;
            double cosine = 0.0;
            ::sincos(static_cast<double>(i) * omega, &sine, &cosine);
            real += samples[i] * cosine;
            imaginary -= samples[i] * sine;
        }
        power[bin] = real * real + imaginary * imaginary;
    }
    return power;
}

}  // namespace veltrix
