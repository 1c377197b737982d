#include "kinematics/power_spectrum.hpp"

#include <cmath>
#include <memory>

#include "kinematics/power_spectrum_kernels.hpp"
#include "kinematics/twiddle_table_cache.hpp"

namespace veltrix {

void compute_power_spectrum(std::span<const double> samples, std::span<double> power) {
    const std::shared_ptr<const TwiddleTable> table = shared_twiddle_tables().table_for(samples.size());
    if (!table) {
        direct_power_spectrum(samples, power);
        return;
    }
    active_power_spectrum_kernel()(*table, samples.data(), table->next_sweep(), power.data());
}

void direct_power_spectrum(std::span<const double> samples, std::span<double> power) {
    const std::size_t sample_count = samples.size();
    for (std::size_t bin = 0; bin < power.size(); ++bin) {
        const double omega = bin_frequency(bin, sample_count);
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
}

}  // namespace veltrix
