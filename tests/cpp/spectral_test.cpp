#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <numbers>
#include <random>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kinematics/power_spectrum.hpp"
#include "kinematics/power_spectrum_kernels.hpp"
#include "kinematics/series_statistics.hpp"
#include "kinematics/spectral_features.hpp"
#include "kinematics/twiddle_table_cache.hpp"

namespace veltrix {
namespace {

struct SpectralCase {
    std::string name;
    std::vector<double> speeds;
    double purity;
    double entropy;
    double tolerance;
};

std::vector<double> sinusoid(int cycles, int length) {
    std::vector<double> speeds;
    for (int i = 0; i < length; ++i) {
        speeds.push_back(1.0 + std::sin(2.0 * std::numbers::pi * cycles * i / length));
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
    ::testing::Values(SpectralCase{"SevenSpeedsAreTooFew", {9, 1, 7, 3, 5, 2, 8}, 0.0, 1.0, 0.0},
                      SpectralCase{"EqualSpeedsHaveNoFluctuation", std::vector<double>(16, 2.5), 0.0, 1.0, 0.0},
                      SpectralCase{"NaNSpeedGivesDefaults", {1, 2, 3, kNaN, 5, 6, 7, 8}, 0.0, 1.0, 0.0},
                      SpectralCase{"AlternationFillsHighestBin", {1, 3, 1, 3, 1, 3, 1, 3}, 1.0, 0.0, 1e-12},
                      SpectralCase{"LinearRiseSpreadsPower", {1, 2, 3, 4, 5, 6, 7, 8}, 0.6208, 0.7664, 5e-5},
                      SpectralCase{"PureSinusoidHasOneBin", sinusoid(2, 16), 1.0, 0.0, 1e-9},
                      // Longer than any series the kinematics pass, and than the working storage kept inline.
                      SpectralCase{"LongSinusoidHasOneBin", sinusoid(7, 640), 1.0, 0.0, 1e-9},
                      // Nine speeds: bin 4 is not the alternation, so the power leaks into other bins.
                      SpectralCase{"OddCountAlternationLeaks", {1, 3, 1, 3, 1, 3, 1, 3, 1}, 0.8291, 0.4480, 5e-5}),
    [](const auto& tested) { return tested.param.name; });

// The spectrum of `samples` through the table cache and evaluated directly.
std::vector<double> cached_spectrum(std::span<const double> samples) {
    std::vector<double> power(power_bin_count(samples.size()));
    compute_power_spectrum(samples, power);
    return power;
}

std::vector<double> direct_spectrum(std::span<const double> samples) {
    std::vector<double> power(power_bin_count(samples.size()));
    direct_power_spectrum(samples, power);
    return power;
}

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
        const std::vector<double> actual = cached_spectrum(samples);
        ASSERT_EQ(actual.size(), expected.size()) << "length " << length;
        for (std::size_t k = 0; k < expected.size(); ++k) {
            EXPECT_EQ(actual[k], expected[k]) << "length " << length << " bin " << k;
        }
    }
}

// Bit patterns, so that signed zeros count too. Which NaN an operation with two
// NaN operands returns is left open by IEEE arithmetic (and compilers swap the
// operands of an add), so every NaN counts as one value.
std::vector<std::uint64_t> bits_of(const std::vector<double>& values) {
    std::vector<std::uint64_t> bits;
    for (const double value : values) {
        bits.push_back(std::isnan(value) ? std::bit_cast<std::uint64_t>(kNaN) : std::bit_cast<std::uint64_t>(value));
    }
    return bits;
}

enum class SampleKind { Uniform, Adversarial };

// Adversarial series mix NaN, infinities, signed zeros, subnormals and magnitudes
// whose products or squares overflow, among ordinary values.
std::vector<double> series(std::size_t length, SampleKind kind, std::mt19937_64& generator) {
    constexpr double kInf = std::numeric_limits<double>::infinity();
    const std::vector<double> extremes{kNaN, kInf, -kInf, 0.0, -0.0, 1e308, -1e308, 5e-324, 1e-310, 1e154};
    std::uniform_real_distribution<double> ordinary(-3.0, 3.0);
    std::uniform_int_distribution<std::size_t> pick(0, extremes.size() - 1);
    std::vector<double> samples(length);
    for (double& sample : samples) {
        const bool extreme = kind == SampleKind::Adversarial && generator() % 16 == 0;
        sample = extreme ? extremes[pick(generator)] : ordinary(generator);
    }
    return samples;
}

// Every length up to 80, then primes, powers of two and the edges of the cached range.
std::vector<std::size_t> tested_lengths() {
    std::vector<std::size_t> lengths;
    for (std::size_t length = 8; length <= 80; ++length) lengths.push_back(length);
    for (const std::size_t length :
         {127u, 128u, 149u, 150u, 211u, 256u, 298u, 299u, 300u, 357u, 358u, 421u, 512u, 599u, 600u}) {
        lengths.push_back(length);
    }
    return lengths;
}

TEST(SpectralTransform, CachedKernelsMatchDirectEvaluationBitForBit) {
    std::mt19937_64 generator(7);
    for (const std::size_t length : tested_lengths()) {
        for (const SampleKind kind : {SampleKind::Uniform, SampleKind::Adversarial}) {
            const std::vector<double> samples = series(length, kind, generator);
            const std::vector<std::uint64_t> expected = bits_of(direct_spectrum(samples));
            ASSERT_EQ(bits_of(cached_spectrum(samples)), expected) << "length " << length;

            const TwiddleTable table(length);
            for (const TableSweep sweep : {TableSweep::forward, TableSweep::backward}) {
                std::vector<double> generic(table.bin_count());
                power_spectrum_kernel_generic(table, samples.data(), sweep, generic.data());
                ASSERT_EQ(bits_of(generic), expected) << "generic kernel, length " << length;
                std::vector<double> widest(table.bin_count());
                active_power_spectrum_kernel()(table, samples.data(), sweep, widest.data());
                ASSERT_EQ(bits_of(widest), expected) << "active kernel, length " << length;
            }
        }
    }
}

TEST(SpectralTransform, ShortSeriesAreTransformedToo) {
    for (const std::vector<double>& samples :
         {std::vector<double>{}, std::vector<double>{2.0}, std::vector<double>{1.0, -1.0, 0.5}}) {
        EXPECT_EQ(bits_of(cached_spectrum(samples)), bits_of(direct_spectrum(samples)));
    }
}

TEST(TwiddleTableCache, KeepsRecentTablesWithinItsBudget) {
    const std::size_t table_bytes = TwiddleTable::byte_size_for(64);
    TwiddleTableCache cache(3 * table_bytes, table_bytes);

    const auto first = cache.table_for(64);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(cache.table_for(64), first);  // a hit hands out the same table
    for (const std::size_t length : {63u, 62u}) {
        ASSERT_NE(cache.table_for(length), nullptr);
    }
    EXPECT_EQ(cache.table_for(64), first);  // used last, so 63 is now the oldest
    ASSERT_NE(cache.table_for(61), nullptr);
    EXPECT_LE(cache.usage().bytes, 3 * table_bytes);
    EXPECT_EQ(cache.usage().tables, 3u);
    EXPECT_EQ(cache.table_for(64), first);
    EXPECT_NE(cache.table_for(63), nullptr);  // rebuilt after its eviction

    EXPECT_EQ(cache.table_for(65), nullptr) << "larger than the largest table allowed";
    EXPECT_EQ(cache.table_for(std::numeric_limits<std::size_t>::max()), nullptr);
}

TEST(TwiddleTableCache, EvictedTableStaysValidWhileHeld) {
    const std::size_t table_bytes = TwiddleTable::byte_size_for(32);
    TwiddleTableCache cache(table_bytes, table_bytes);
    const auto held = cache.table_for(32);
    ASSERT_NE(cache.table_for(31), nullptr);  // evicts the table for 32
    EXPECT_EQ(held->sample_count(), 32u);
    EXPECT_EQ(held->group_rows(0)[0], 1.0);  // cosine of angle 0
    EXPECT_NE(cache.table_for(32), held);
}

TEST(TwiddleTableCache, SharedCacheStaysWithinItsBudget) {
    std::mt19937_64 generator(11);
    for (std::size_t length = 8; length <= 400; length += 3) {
        cached_spectrum(series(length, SampleKind::Uniform, generator));
    }
    const TwiddleTableCache::Usage usage = shared_twiddle_tables().usage();
    EXPECT_GT(usage.tables, 1u);
    EXPECT_LE(usage.bytes, kSharedTwiddleBudgetBytes);
    EXPECT_NE(shared_twiddle_tables().table_for(299), nullptr) << "the kinematics' longest series is cached";
}

TEST(TwiddleTableCache, ConcurrentCallersGetCorrectSpectra) {
    constexpr std::size_t kThreads = 4;
    const std::size_t budget = 2 * TwiddleTable::byte_size_for(40);
    TwiddleTableCache cache(budget, budget);  // small enough to evict all the time
    std::mt19937_64 generator(13);
    const std::vector<double> samples = series(40, SampleKind::Uniform, generator);
    std::vector<std::size_t> mismatches(kThreads, 0);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (std::size_t round = 0; round < 200; ++round) {
                const std::size_t length = 30 + (round + t) % 11;
                const std::span<const double> prefix(samples.data(), length);
                std::vector<double> power(length / 2 + 1);
                const auto table = cache.table_for(length);
                active_power_spectrum_kernel()(*table, prefix.data(), table->next_sweep(), power.data());
                mismatches[t] += bits_of(power) != bits_of(direct_spectrum(prefix));
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(mismatches, std::vector<std::size_t>(kThreads, 0));
    EXPECT_LE(cache.usage().bytes, budget);
}

}  // namespace
}  // namespace veltrix
