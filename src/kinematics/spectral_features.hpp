#pragma once
// How rhythmic the pointer speed is: share of its strongest frequency and the
// normalised entropy of its power spectrum.

#include <span>

namespace veltrix {

// The defaults are the result for a series too short or too flat to analyse.
struct SpectralFeatures {
    double spectral_purity = 0.0;
    double spectral_entropy = 1.0;
};

// `mean_speed` is the series' own mean, passed in because the caller already reports it.
SpectralFeatures compute_spectral_features(std::span<const double> speeds, double mean_speed);

}  // namespace veltrix
