#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <ostream>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "curvature/curvature_kernels.hpp"
#include "curvature/curvature_metrics.hpp"
#include "curvature/curvature_score.hpp"

namespace veltrix {

// Names the kernel in failure messages instead of dumping its bytes.
void PrintTo(const NamedCurvatureKernel& kernel, std::ostream* out) { *out << kernel.name; }

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kMaxDouble = std::numeric_limits<double>::max();

using Series = std::vector<double>;

void expect_same_bits(const CurvatureMetrics& actual, const CurvatureMetrics& expected) {
    EXPECT_EQ(std::bit_cast<std::uint64_t>(actual.mean_curvature),
              std::bit_cast<std::uint64_t>(expected.mean_curvature));
    EXPECT_EQ(std::bit_cast<std::uint64_t>(actual.curvature_var), std::bit_cast<std::uint64_t>(expected.curvature_var));
    EXPECT_EQ(std::bit_cast<std::uint64_t>(actual.curvature_rate_var),
              std::bit_cast<std::uint64_t>(expected.curvature_rate_var));
    EXPECT_EQ(std::bit_cast<std::uint64_t>(actual.curvature_score),
              std::bit_cast<std::uint64_t>(expected.curvature_score));
}

Series uniform_series(std::size_t length, double low, double high, std::mt19937_64& rng) {
    std::uniform_real_distribution<double> draw(low, high);
    Series values(length);
    for (double& value : values) {
        value = draw(rng);
    }
    return values;
}

// A wandering path with irregular but increasing timestamps.
struct Path {
    Series x, y, t;
};

Path random_path(std::size_t length, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    Path path{uniform_series(length, -500.0, 500.0, rng), uniform_series(length, -500.0, 500.0, rng),
              uniform_series(length, 1.0, 40.0, rng)};
    for (std::size_t i = 1; i < length; ++i) {
        path.t[i] += path.t[i - 1];
    }
    return path;
}

CurvatureMetrics metrics_of(const Path& path) { return compute_curvature_metrics(path.x, path.y, path.t); }

struct WorkedExample {
    Path path;
    CurvatureMetrics expected;
};

TEST(CurvatureMetrics, ReproducesWorkedExamples) {
    const WorkedExample examples[] = {
        {{{0, 1, 2, 3}, {0, 0, 0, 0}, {0, 10, 20, 30}}, {0.0, 0.0, 0.0, 0.95}},
        {{{0, 10, 10, 10}, {0, 0, 10, 20}, {0, 10, 20, 30}}, {0.049999925, 0.0024999925, 0.0, 0.1}},
        {{{0, 10, 10, 0, 0}, {0, 0, 10, 10, 0}, {0, 10, 20, 30, 40}}, {0.09999985, 0.0, 0.0, 0.9}},
    };
    constexpr double kPrintedPrecision = 1e-12;
    for (const auto& [path, expected] : examples) {
        const CurvatureMetrics actual = metrics_of(path);
        EXPECT_NEAR(actual.mean_curvature, expected.mean_curvature, kPrintedPrecision);
        EXPECT_NEAR(actual.curvature_var, expected.curvature_var, kPrintedPrecision);
        EXPECT_EQ(actual.curvature_rate_var, expected.curvature_rate_var);
        EXPECT_EQ(actual.curvature_score, expected.curvature_score);
    }
}

TEST(CurvatureMetrics, FewerThanFourSamplesGiveAllZeroRecord) {
    const Path path = random_path(10, 1);
    const std::span<const double> x = path.x, y = path.y, t = path.t;
    expect_same_bits(compute_curvature_metrics({}, {}, {}), {});
    expect_same_bits(compute_curvature_metrics(x.first(3), y.first(3), t.first(3)), {});
    expect_same_bits(compute_curvature_metrics(x, y.first(3), t), {});
    expect_same_bits(compute_curvature_metrics(x, y, t.first(2)), {});
}

TEST(CurvatureMetrics, UsesOnlyTheShortestLength) {
    const Path path = random_path(10, 2);
    const std::span<const double> x = path.x, y = path.y, t = path.t;
    expect_same_bits(compute_curvature_metrics(x, y.first(6), t.first(8)),
                     compute_curvature_metrics(x.first(6), y.first(6), t.first(6)));
}

TEST(CurvatureMetrics, FourSamplesHaveExactlyZeroRateVariance) {
    const CurvatureMetrics metrics = metrics_of(random_path(4, 3));
    EXPECT_GT(metrics.curvature_var, 0.0);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(metrics.curvature_rate_var), 0u);
}

TEST(CurvatureMetrics, PathsWithoutBendScoreAsStraight) {
    const Path paths[] = {
        {{7, 7, 7, 7, 7}, {3, 3, 3, 3, 3}, {0, 16, 33, 50, 66}},
        {{0, 5, 10, 15, 20, 25}, {4, 4, 4, 4, 4, 4}, {0, 10, 20, 30, 40, 50}},
        {{0, 1, 9, 10, 30, 31}, {4, 4, 4, 4, 4, 4}, {0, 3, 40, 41, 90, 140}},
    };
    for (const Path& path : paths) {
        expect_same_bits(metrics_of(path), {0.0, 0.0, 0.0, 0.95});
    }
}

TEST(CurvatureMetrics, NaNCoordinatePoisonsEveryStatistic) {
    for (std::size_t poisoned = 0; poisoned < 7; ++poisoned) {
        Path path = random_path(7, 4);
        path.y[poisoned] = kNaN;
        const CurvatureMetrics metrics = metrics_of(path);
        EXPECT_TRUE(std::isnan(metrics.mean_curvature)) << poisoned;
        EXPECT_TRUE(std::isnan(metrics.curvature_var)) << poisoned;
        EXPECT_TRUE(std::isnan(metrics.curvature_rate_var)) << poisoned;
        EXPECT_EQ(metrics.curvature_score, 0.1) << poisoned;
    }
}

// A NaN, repeated or earlier timestamp only floors its interval, exactly like a zero step.
TEST(CurvatureMetrics, UnusableTimeStepsCountAsTheFloor) {
    Path path = random_path(9, 5);
    const double previous = path.t[7];
    path.t[8] = previous;
    const CurvatureMetrics zero_step = metrics_of(path);
    EXPECT_TRUE(std::isfinite(zero_step.curvature_rate_var));
    for (const double last : {kNaN, previous - 25.0, previous + 0.05}) {
        path.t[8] = last;
        expect_same_bits(metrics_of(path), zero_step);
    }
}

struct LadderCase {
    CurvatureStatistics statistics;
    std::vector<double> curvature;
    double score;
};

// Statistics that pass rules 1 to 3, so rule 4 decides between 0.75 and 0.1.
constexpr CurvatureStatistics kSharpCandidate{0.5, 1.0, 3.0};

TEST(CurvatureLadder, PicksFirstRuleThatHolds) {
    const LadderCase cases[] = {
        {{0.0, 0.0, 100.0}, {0, 0, 0, 0}, 0.95},
        {{0.5, 0.00005, 0.0}, {0.5, 0.5, 0.5, 0.5}, 0.9},
        {{0.5, 11.0, 0.0}, {0.5, 0.5, 0.5, 0.5}, 0.85},
        {{0.5, 1.0, 6.0}, {0.5, 0.5, 0.5, 0.5}, 0.85},
        {kSharpCandidate, {0.2, 0.2, 0.2, 0.0, 0.0, 0.0}, 0.1},
        {kSharpCandidate, {0.2, 0.2, 0.2, 0.2, 0.0, 0.0}, 0.75},
        {kSharpCandidate, {0.2, 0.2, 0.2, 0.0, 0.0}, 0.75},
        {kSharpCandidate, {0.2, 0.2, 0.0, 0.0}, 0.1},
        {kSharpCandidate, {0.2, 0.2, 0.2, 0.0}, 0.75},
        {kSharpCandidate, {0.1, 0.1, 0.1, 0.1}, 0.1},
        {kSharpCandidate, {kNaN, kNaN, 0.2, 0.2}, 0.1},
        {{0.5, 1.0, 2.0}, {0.2, 0.2, 0.2, 0.2}, 0.1},
        {{kNaN, kNaN, kNaN}, {0.2, 0.2, 0.2, 0.2}, 0.1},
    };
    for (const auto& [statistics, curvature, score] : cases) {
        EXPECT_EQ(curvature_ladder_score(statistics, curvature), score)
            << statistics.mean_curvature << ' ' << statistics.curvature_var << ' ' << statistics.curvature_rate_var
            << " over " << curvature.size() << " values";
    }
}

// The generic kernel is listed everywhere, so the bit comparison below covers
// it on every machine, but runs only where no instruction-set kernel exists.
TEST(CurvatureKernelDispatch, RunsThePreferredSupportedKernel) {
    std::vector<std::string_view> listed;
    for (const NamedCurvatureKernel& kernel : supported_curvature_kernels()) {
        listed.push_back(kernel.name);
    }
#if defined(__x86_64__)
    std::vector<std::string_view> expected{"generic", "sse2"};
    if (__builtin_cpu_supports("avx2")) {
        expected.push_back("avx2");
    }
#else
    const std::vector<std::string_view> expected{"generic"};
#endif
    EXPECT_EQ(listed, expected);
    EXPECT_EQ(active_curvature_kernel(), supported_curvature_kernels().back().run);
}

// Values that stress rounding, overflow, underflow and NaN propagation; as
// timestamps they also make zero, negative, NaN and tiny time steps.
constexpr double kAdversarialValues[] = {
    kNaN,   -kNaN, kInf,   -kInf,  0.0,  -0.0,  1e300, -1e300, 1e-300, -1e-300,
    5e-324, 1e154, -1e154, 1e-160, 10.0, -10.0, 0.1,   0.2,    1.0,    kMaxDouble,
};

// About half the samples of a random path take adversarial values.
Path adversarial_path(std::size_t length, std::mt19937_64& rng) {
    Path path = random_path(length, rng());
    std::uniform_int_distribution<std::size_t> pick(0, 2 * std::size(kAdversarialValues) - 1);
    for (Series* series : {&path.x, &path.y, &path.t}) {
        for (double& value : *series) {
            if (const std::size_t index = pick(rng); index < std::size(kAdversarialValues)) {
                value = kAdversarialValues[index];
            }
        }
    }
    return path;
}

constexpr std::size_t kSeriesCount = 8;
constexpr const char* kSeriesNames[kSeriesCount] = {"dt", "vx", "vy", "dtm", "ax", "ay", "curvature", "rate"};

// Every working series, each followed by a guard element that a kernel must not write.
struct GuardedSeries {
    static constexpr double kGuard = -12345.0;
    static constexpr std::size_t kCurvature = 6;
    static constexpr std::size_t kRate = 7;

    explicit GuardedSeries(std::size_t samples) {
        const std::size_t segments = samples - 1;
        const std::size_t interior = samples - 2;
        const std::size_t lengths[kSeriesCount] = {segments, segments, segments, interior,
                                                   interior, interior, interior, samples - 3};
        for (std::size_t s = 0; s < kSeriesCount; ++s) {
            storage[s].assign(lengths[s] + 1, kGuard);
        }
    }

    std::span<double> exact(std::size_t s) { return std::span(storage[s]).first(storage[s].size() - 1); }

    CurvatureSeries view() { return {exact(0), exact(1), exact(2), exact(3), exact(4), exact(5), exact(6), exact(7)}; }

    Series storage[kSeriesCount];
};

struct KernelRun {
    CurvatureSums sums;
    GuardedSeries series;
};

KernelRun run_kernel(CurvatureKernel kernel, const Path& path) {
    KernelRun run{{}, GuardedSeries(path.x.size())};
    run.sums = kernel({path.x.data(), path.y.data(), path.t.data(), path.x.size()}, run.series.view());
    return run;
}

// The definition every kernel must reproduce: evaluate_segment over every segment, in order.
CurvatureSums reference_kernel(PathSamples path, CurvatureSeries series) {
    CurvatureSums sums;
    for (std::size_t segment = 0; segment + 1 < path.samples; ++segment) {
        evaluate_segment(path, series, sums, segment);
    }
    return sums;
}

std::uint64_t bits(double value) { return std::bit_cast<std::uint64_t>(value); }

// Plain index-order sum, which every kernel's running sums must reproduce, NaN sign included.
double index_order_sum(std::span<const double> values) {
    double total = 0.0;
    for (const double value : values) {
        total += value;
    }
    return total;
}

class CurvatureKernelBits : public testing::TestWithParam<NamedCurvatureKernel> {};

// Short lengths cover the leading scalar segments and every remainder after the
// vector blocks; each series and sum must match the reference bit for bit.
TEST_P(CurvatureKernelBits, MatchTheReferenceOnEveryLengthAndValue) {
    std::vector<std::size_t> lengths;
    for (std::size_t length = 4; length <= 20; ++length) {
        lengths.push_back(length);
    }
    lengths.insert(lengths.end(), {63, 64, 65, 66, 300});
    constexpr int kRoundsPerLength = 40;
    std::mt19937_64 rng(6);
    for (const std::size_t length : lengths) {
        for (int round = 0; round < kRoundsPerLength; ++round) {
            const Path path = round % 2 == 0 ? random_path(length, rng()) : adversarial_path(length, rng);
            KernelRun expected = run_kernel(reference_kernel, path);
            const KernelRun actual = run_kernel(GetParam().run, path);
            for (std::size_t s = 0; s < kSeriesCount; ++s) {
                const Series& series = actual.series.storage[s];
                const Series& reference = expected.series.storage[s];
                ASSERT_EQ(series.back(), GuardedSeries::kGuard) << kSeriesNames[s] << " overrun, length " << length;
                const std::size_t bytes = series.size() * sizeof(double);
                ASSERT_EQ(std::memcmp(series.data(), reference.data(), bytes), 0)
                    << kSeriesNames[s] << ", length " << length << ", round " << round;
            }
            const double curvature_sum = index_order_sum(expected.series.exact(GuardedSeries::kCurvature));
            const double rate_sum = index_order_sum(expected.series.exact(GuardedSeries::kRate));
            ASSERT_EQ(bits(actual.sums.curvature), bits(curvature_sum)) << "length " << length << ", round " << round;
            ASSERT_EQ(bits(actual.sums.rate), bits(rate_sum)) << "length " << length << ", round " << round;
        }
    }
}

double population_variance_of(std::span<const double> values) {
    const double count = static_cast<double>(values.size());
    const double mean = index_order_sum(values) / count;
    double squares = 0.0;
    for (const double value : values) {
        const double deviation = value - mean;
        squares += deviation * deviation;
    }
    return squares / count;
}

// The statistics are plain two-pass sums in index order over the series, NaN sign
// included, whether the working series fit inline (up to 300 samples) or not.
TEST(CurvatureMetrics, StatisticsSumTheSeriesInIndexOrder) {
    std::mt19937_64 rng(7);
    for (const std::size_t length : {4, 5, 9, 300, 301, 1000}) {
        for (int round = 0; round < 20; ++round) {
            const Path path = round % 2 == 0 ? random_path(length, rng()) : adversarial_path(length, rng);
            KernelRun reference = run_kernel(reference_kernel, path);
            const std::span<const double> curvature = reference.series.exact(GuardedSeries::kCurvature);
            const double mean = index_order_sum(curvature) / static_cast<double>(curvature.size());
            const CurvatureMetrics metrics = metrics_of(path);
            EXPECT_EQ(bits(metrics.mean_curvature), bits(mean)) << length << ' ' << round;
            EXPECT_EQ(bits(metrics.curvature_var), bits(population_variance_of(curvature))) << length << ' ' << round;
            EXPECT_EQ(bits(metrics.curvature_rate_var),
                      bits(population_variance_of(reference.series.exact(GuardedSeries::kRate))))
                << length << ' ' << round;
        }
    }
}

std::string kernel_name(const testing::TestParamInfo<NamedCurvatureKernel>& tested) {
    return std::string(tested.param.name);
}

INSTANTIATE_TEST_SUITE_P(CurvatureKernels, CurvatureKernelBits,
                         testing::ValuesIn(supported_curvature_kernels().begin(), supported_curvature_kernels().end()),
                         kernel_name);

}  // namespace
}  // namespace veltrix
