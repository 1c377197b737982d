#include "kinematics/spectral_features.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "kinematics/power_spectrum.hpp"
#include "kinematics/series_statistics.hpp"
#include "platform/scratch_buffer.hpp"

namespace veltrix {

namespace {

constexpr std::size_t kMinSpeedCount = 8;
// Below this the series is effectively constant and its spectrum is rounding noise.
constexpr double kMinTotalPower = 1e-9;
// Bins with a smaller share contribute nothing measurable to the entropy.
constexpr double kMinEntropyShare = 1e-12;
// The kinematics pass at most 299 speeds; the centred series and the spectrum of
// that many fit in the working storage inside the call.
constexpr std::size_t kInlineSpeeds = 299;

double spectral_entropy_bits(std::span<const double> fluctuation_power, double total_power) {
    double entropy = 0.0;
    for (const double power : fluctuation_power) {
        const double share = power / total_power;
        if (share > kMinEntropyShare) {
            entropy -= share * std::log2(share);
        }
    }
    return entropy;
}

}  // namespace

SpectralFeatures compute_spectral_features(std::span<const double> speeds, double mean_speed) {
    if (speeds.size() < kMinSpeedCount) {
        return {};
    }
    const std::size_t bin_count = power_bin_count(speeds.size());
    ScratchBuffer<double, kInlineSpeeds + power_bin_count(kInlineSpeeds)> scratch(speeds.size() + bin_count);
    const std::span<double> centred = scratch.elements().first(speeds.size());
    const std::span<double> power = scratch.elements().last(bin_count);
    for (std::size_t i = 0; i < speeds.size(); ++i) {
        centred[i] = speeds[i] - mean_speed;
    }
    compute_power_spectrum(centred, power);
    // Bin 0 is the residual offset, not a fluctuation.
    const std::span<const double> fluctuation_power = power.subspan(1);

    const double total_power = sum(fluctuation_power);
    if (!(total_power > kMinTotalPower)) {  // also rejects NaN
        return {};
    }

    const double strongest = *std::max_element(fluctuation_power.begin(), fluctuation_power.end());
    // At least eight speeds leave at least four bins, so the entropy bound is at least 2 bits.
    const double max_entropy = std::log2(static_cast<double>(fluctuation_power.size()));
    return {
        .spectral_purity = strongest / total_power,
        .spectral_entropy = spectral_entropy_bits(fluctuation_power, total_power) / max_entropy,
    };
}

}  // namespace veltrix
