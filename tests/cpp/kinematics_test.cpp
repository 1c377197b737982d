#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "feature_listing.hpp"
#include "kinematics/mouse_kinematics.hpp"

namespace veltrix {
namespace {

using testing::list_features;

constexpr double kStepMs = 10.0;

// A horizontal path whose segment i, 10 ms long, is travelled at speeds[i].
std::vector<MovementPoint> path_with_speeds(const std::vector<double>& speeds) {
    std::vector<MovementPoint> path{{.x = 0.0, .y = 0.0, .t = 0.0}};
    for (const double speed : speeds) {
        const MovementPoint& last = path.back();
        path.push_back({.x = last.x + speed * kStepMs, .y = 0.0, .t = last.t + kStepMs});
    }
    return path;
}

testing::FeatureListing list_mouse_features(const MouseKinematics& mouse) {
    VisitFeatures features;
    features.mouse = mouse;
    return list_features(features);
}

TEST(Kinematics, FivePointExample) {
    const std::vector<MovementPoint> points{{.x = 0, .y = 0, .t = 0},
                                            {.x = 3, .y = 4, .t = 10},
                                            {.x = 6, .y = 8, .t = 20},
                                            {.x = 6, .y = 8, .t = 20},
                                            {.x = 12, .y = 16, .t = 40}};
    const MouseKinematics k = compute_mouse_kinematics(points);
    EXPECT_EQ(k.mouse_points, 5u);
    EXPECT_DOUBLE_EQ(k.total_distance, 20.0);
    EXPECT_DOUBLE_EQ(k.straightness, 1.0);
    EXPECT_DOUBLE_EQ(k.avg_velocity, 0.375);
    EXPECT_DOUBLE_EQ(k.max_velocity, 0.5);
    EXPECT_DOUBLE_EQ(k.velocity_var, 0.046875);
    EXPECT_NEAR(k.dt_var, 49.501875, 1e-9);
    EXPECT_DOUBLE_EQ(k.terminal_decel_ratio, 1.0);
    EXPECT_EQ(k.submovement_count, 1u);
    EXPECT_NEAR(k.avg_acceleration, -1.658333, 1e-6);
    EXPECT_NEAR(k.acceleration_var, 5.583472, 1e-6);
    EXPECT_NEAR(k.avg_jerk, 25.125625, 1e-9);
    EXPECT_EQ(k.spectral.spectral_purity, 0.0);
    EXPECT_EQ(k.spectral.spectral_entropy, 1.0);
}

TEST(Kinematics, FewerThanThreePointsGiveDefaultsButCountThem) {
    for (std::size_t n = 0; n < 3; ++n) {
        const std::vector<MovementPoint> points = path_with_speeds(std::vector<double>(n, 1.0));
        const std::vector<MovementPoint> first_n(points.begin(), points.begin() + static_cast<long>(n));
        MouseKinematics expected;
        expected.mouse_points = n;
        EXPECT_EQ(list_mouse_features(compute_mouse_kinematics(first_n)), list_mouse_features(expected))
            << n << " points";
    }
}

TEST(Kinematics, UnsortedInputEqualsSortedInput) {
    std::vector<MovementPoint> sorted = path_with_speeds({1, 3, 0.5, 2, 2, 4, 1, 0.2, 3, 1.5});
    for (std::size_t i = 0; i < sorted.size(); ++i) {
        sorted[i].y = static_cast<double>(i * i % 7);  // make the path curve
    }
    std::vector<MovementPoint> shuffled = sorted;
    std::reverse(shuffled.begin(), shuffled.end());
    std::rotate(shuffled.begin(), shuffled.begin() + 4, shuffled.end());
    EXPECT_EQ(list_mouse_features(compute_mouse_kinematics(shuffled)),
              list_mouse_features(compute_mouse_kinematics(sorted)));
}

TEST(Kinematics, EqualTimesKeepListOrderWithFlooredStep) {
    // B and C share a time stamp; listed B first, the path runs A B C D (30 px).
    const MovementPoint a{.x = 0, .y = 0, .t = 0};
    const MovementPoint b{.x = 10, .y = 0, .t = 10};
    const MovementPoint c{.x = 10, .y = 10, .t = 10};
    const MovementPoint d{.x = 20, .y = 10, .t = 20};
    const MouseKinematics k = compute_mouse_kinematics(std::vector<MovementPoint>{d, b, c, a});
    EXPECT_DOUBLE_EQ(k.total_distance, 30.0);
    EXPECT_DOUBLE_EQ(k.max_velocity, 10.0 / 0.1);
}

TEST(Kinematics, OnlyThe300EarliestPointsAreAnalysed) {
    std::vector<double> speeds(499);
    for (std::size_t i = 0; i < speeds.size(); ++i) {
        speeds[i] = 1.0 + static_cast<double>(i % 13) * 0.25;
    }
    const std::vector<MovementPoint> path = path_with_speeds(speeds);
    const std::vector<MovementPoint> earliest(path.begin(), path.begin() + 300);
    std::vector<MovementPoint> latest_first(path.rbegin(), path.rend());

    MouseKinematics expected = compute_mouse_kinematics(earliest);
    expected.mouse_points = 500;
    EXPECT_EQ(list_mouse_features(compute_mouse_kinematics(latest_first)), list_mouse_features(expected));
}

struct SpeedProfileCase {
    std::string name;
    std::vector<double> speeds;
    std::uint64_t submovements;
    double terminal_decel_ratio;
};

class KinematicsSpeedProfiles : public ::testing::TestWithParam<SpeedProfileCase> {};

TEST_P(KinematicsSpeedProfiles, CountsStrokesAndTerminalSlowing) {
    const SpeedProfileCase& c = GetParam();
    const MouseKinematics k = compute_mouse_kinematics(path_with_speeds(c.speeds));
    EXPECT_EQ(k.submovement_count, c.submovements);
    EXPECT_DOUBLE_EQ(k.terminal_decel_ratio, c.terminal_decel_ratio);
}

INSTANTIATE_TEST_SUITE_P(Kinematics, KinematicsSpeedProfiles,
                         ::testing::Values(SpeedProfileCase{"TwoStrictPeaks", {1, 3, 1, 3, 1}, 2, 1.0 / 3.0},
                                           SpeedProfileCase{"PlateauIsNoPeak", {1, 3, 3, 1}, 1, 1.0 / 3.0},
                                           SpeedProfileCase{"PeakBelowThresholdIgnored", {1, 10, 1, 1.2, 1}, 1, 0.1},
                                           SpeedProfileCase{"PeakAboveThresholdCounts", {1, 10, 1, 2, 1}, 2, 0.1},
                                           SpeedProfileCase{"AtRest", {0, 0, 0}, 0, 1.0},
                                           SpeedProfileCase{"SevenSegmentsUseLastOne", {2, 2, 2, 2, 2, 2, 1}, 1, 0.5},
                                           SpeedProfileCase{
                                               "EightSegmentsUseLastTwo", {2, 2, 2, 2, 2, 2, 2, 1}, 1, 0.75}),
                         [](const auto& tested) { return tested.param.name; });

TEST(Kinematics, SpectralAnalysisStartsAtEightSpeeds) {
    const MouseKinematics seven = compute_mouse_kinematics(path_with_speeds({1, 3, 1, 3, 1, 3, 1}));
    EXPECT_EQ(seven.spectral.spectral_purity, 0.0);
    EXPECT_EQ(seven.spectral.spectral_entropy, 1.0);

    const MouseKinematics eight = compute_mouse_kinematics(path_with_speeds({1, 3, 1, 3, 1, 3, 1, 3}));
    EXPECT_NEAR(eight.spectral.spectral_purity, 1.0, 1e-12);
    EXPECT_NEAR(eight.spectral.spectral_entropy, 0.0, 1e-12);
}

}  // namespace
}  // namespace veltrix
