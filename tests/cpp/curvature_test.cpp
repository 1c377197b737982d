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

using Series = std::vector<double>;

void expect_same_bits(const CurvatureMetrics& actual, const CurvatureMetrics& expected) {
    EXPECT_EQ(std::bit_cast<std::uint64_t>(actual.mean_curvature),
              std::bit_cast<std::uint64_t>(expected.mean_curvature));
    EXPECT_EQ(std::bit_cast<std::uint64_t>(actual.curvature_var),
              std::bit_cast<std::uint64_t>(expected.curvature_var));
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

CurvatureMetrics metrics_of(const Path& path) {
    return compute_curvature_metrics(path.x, path.y, path.t);
}

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
            << statistics.mean_curvature << ' ' << statistics.curvature_var << ' '
            << statistics.curvature_rate_var << " over " << curvature.size() << " values";
    }
}

TEST(CurvatureKernelDispatch, RunsTheWidestSupportedKernel) {
    const auto kernels = supported_curvature_kernels();
    ASSERT_GE(kernels.size(), 2u);
    EXPECT_EQ(kernels.front().run, &curvature_kernel_scalar);
    EXPECT_EQ(active_curvature_kernel(), kernels.back().run);
#if defined(__x86_64__)
    EXPECT_EQ(kernels.size(), __builtin_cpu_supports("avx2") ? 3u : 2u);
#endif
}

// Values that stress rounding, overflow, underflow and NaN propagation, including
// what zero, negative and tiny time steps turn into after differencing.
constexpr double kAdversarialValues[] = {
    kNaN, -kNaN,    kInf,   -kInf,   0.0,     -0.0,   1e300, -1e300, 1e-300, -1e-300,
    5e-324,  1e154,  -1e154,  1e-160,  10.0,   -10.0, 0.1,    1.0,    std::numeric_limits<double>::max(),
};

struct KernelInputs {
    Series vx, vy, ax, ay;
};

KernelInputs kernel_inputs(std::size_t count, bool adversarial, std::mt19937_64& rng) {
    KernelInputs inputs{uniform_series(count, -50.0, 50.0, rng), uniform_series(count, -50.0, 50.0, rng),
                        uniform_series(count, -5.0, 5.0, rng), uniform_series(count, -5.0, 5.0, rng)};
    if (adversarial) {
        std::uniform_int_distribution<std::size_t> pick(0, 2 * std::size(kAdversarialValues) - 1);
        for (Series* series : {&inputs.vx, &inputs.vy, &inputs.ax, &inputs.ay}) {
            for (double& value : *series) {
                // About half the elements keep their ordinary random value.
                if (const std::size_t index = pick(rng); index < std::size(kAdversarialValues)) {
                    value = kAdversarialValues[index];
                }
            }
        }
    }
    return inputs;
}

// The guard element past the end must survive: a kernel may not write beyond count.
Series run_kernel(CurvatureKernel kernel, const KernelInputs& inputs, std::size_t offset) {
    constexpr double kGuard = -12345.0;
    const std::size_t count = inputs.vx.size() - offset;
    Series kappa(count + 1, kGuard);
    kernel(inputs.vx.data() + offset, inputs.vy.data() + offset, inputs.ax.data() + offset,
           inputs.ay.data() + offset, kappa.data(), count);
    EXPECT_EQ(kappa.back(), kGuard);
    return kappa;
}

class CurvatureKernelBits : public testing::TestWithParam<NamedCurvatureKernel> {};

TEST_P(CurvatureKernelBits, MatchScalarOnEveryLengthAndValue) {
    constexpr std::size_t kLengths[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 15, 16, 17, 63, 64, 65, 1000};
    constexpr int kRoundsPerLength = 20;
    std::mt19937_64 rng(6);
    for (const std::size_t length : kLengths) {
        for (int round = 0; round < kRoundsPerLength; ++round) {
            const bool adversarial = round % 2 == 1;
            // An offset start mimics the caller passing the later segment's velocity.
            const std::size_t offset = static_cast<std::size_t>(round / 2 % 2);
            const KernelInputs inputs = kernel_inputs(length + offset, adversarial, rng);
            const Series expected = run_kernel(curvature_kernel_scalar, inputs, offset);
            const Series actual = run_kernel(GetParam().run, inputs, offset);
            ASSERT_EQ(std::memcmp(actual.data(), expected.data(), actual.size() * sizeof(double)), 0)
                << "length " << length << ", round " << round;
        }
    }
}

std::string kernel_name(const testing::TestParamInfo<NamedCurvatureKernel>& tested) {
    return std::string(tested.param.name);
}

INSTANTIATE_TEST_SUITE_P(CurvatureKernels, CurvatureKernelBits,
                         testing::ValuesIn(supported_curvature_kernels().begin(),
                                           supported_curvature_kernels().end()),
                         kernel_name);

}  // namespace
}  // namespace veltrix
