#include <cmath>
#include <cstddef>
#include <limits>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kinematics/power_spectrum.hpp"
#include "kinematics/series_statistics.hpp"
#include "kinematics/spectral_features.hpp"

namespace veltrix {
namespace {

struct SpectralCase {
    std::string name;
    std::vector<double> speeds;
    double purity;
    double entropy;
    double tolerance;
};

std::vector<double> sinusoid_two_cycles_over_sixteen() {
    std::vector<double> speeds;
    for (int i = 0; i < 16; ++i) {
        speeds.push_back(1.0 + std::sin(2.0 * std::numbers::pi * 2.0 * i / 16.0));
    }
    return speeds;
}

class SpectralExamples : public ::testing::TestWithParam<SpectralCase> {};

TEST_P(SpectralExamples, MatchesReference) {
    const SpectralCase& c = GetParam();
    const SpectralFeatures result = compute_spectral_features(c.speeds, mean(c.speeds));
    EXPECT_NEAR(result.spectral_purity, c.purity, c.tolerance);
    EXPECT_NEAR(result.spectral_entropy, c.entropy, c.tolerance);
}

const double kNaN = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    Spectral, SpectralExamples,
    ::testing::Values(
        SpectralCase{"SevenSpeedsAreTooFew", {9, 1, 7, 3, 5, 2, 8}, 0.0, 1.0, 0.0},
        SpectralCase{"EqualSpeedsHaveNoFluctuation", std::vector<double>(16, 2.5), 0.0, 1.0, 0.0},
        SpectralCase{"NaNSpeedGivesDefaults", {1, 2, 3, kNaN, 5, 6, 7, 8}, 0.0, 1.0, 0.0},
        SpectralCase{"AlternationFillsHighestBin", {1, 3, 1, 3, 1, 3, 1, 3}, 1.0, 0.0, 1e-12},
        SpectralCase{"LinearRiseSpreadsPower", {1, 2, 3, 4, 5, 6, 7, 8}, 0.6208, 0.7664, 5e-5},
        SpectralCase{"PureSinusoidHasOneBin", sinusoid_two_cycles_over_sixteen(), 1.0, 0.0, 1e-9},
        // Nine speeds: bin 4 is not the alternation, so the power leaks into other bins.
        SpectralCase{"OddCountAlternationLeaks", {1, 3, 1, 3, 1, 3, 1, 3, 1}, 0.8291, 0.4480, 5e-5}),
    [](const auto& tested) { return tested.param.name; });

// Independent textbook evaluation with separate sine and cosine calls.
std::vector<double> naive_power_spectrum(const std::vector<double>& samples) {
    const std::size_t n = samples.size();
    std::vector<double> power;
    for (std::size_t k = 0; k <= n / 2; ++k) {
        const double omega = (static_cast<double>(k) * 6.283185307179586) / static_cast<double>(n);
        double re = 0.0;
        double im = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            re += samples[i] * std::cos(static_cast<double>(i) * omega);
            im -= samples[i] * std::sin(static_cast<double>(i) * omega);
        }
        power.push_back(re * re + im * im);
    }
    return power;
}

TEST(SpectralTransform, IsBitIdenticalToNaiveEvaluation) {
    std::mt19937_64 generator(20240611);
    std::uniform_real_distribution<double> speed(-3.0, 3.0);
    for (const std::size_t length : {8u, 9u, 64u, 151u, 299u}) {
        std::vector<double> samples(length);
        for (double& sample : samples) {
            sample = speed(generator);
        }
        const std::vector<double> expected = naive_power_spectrum(samples);
        const std::vector<double> actual = compute_power_spectrum(samples);
        ASSERT_EQ(actual.size(), expected.size()) << "length " << length;
        for (std::size_t k = 0; k < expected.size(); ++k) {
            EXPECT_EQ(actual[k], expected[k]) << "length " << length << " bin " << k;
        }
    }
}

}  // namespace
}  // namespace veltrix
