#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "feature_listing.hpp"
#include "kinematics/visit_features.hpp"

namespace veltrix {
namespace {

using testing::FeatureListing;
using testing::list_features;

TEST(VisitFeatures, EmptyVisitListsAllKeysInOrderWithTypedDefaults) {
    const FeatureListing expected{
        {"mouse_points", std::uint64_t{0}},
        {"total_distance", 0.0},
        {"straightness", 1.0},
        {"avg_velocity", 0.0},
        {"max_velocity", 0.0},
        {"velocity_var", 0.0},
        {"avg_acceleration", 0.0},
        {"acceleration_var", 0.0},
        {"avg_jerk", 0.0},
        {"dt_var", 0.0},
        {"click_count", std::uint64_t{0}},
        {"key_count", std::uint64_t{0}},
        {"key_interval_avg", 0.0},
        {"key_interval_var", 0.0},
        {"webdriver", false},
        {"screen_valid", true},
        {"scroll_count", std::uint64_t{0}},
        {"terminal_decel_ratio", 1.0},
        {"plugins_length", std::int64_t{1}},
        {"touch_supported", false},
        {"screen_width", 1024.0},
        {"spectral_purity", 0.0},
        {"spectral_entropy", 1.0},
        {"submovement_count", std::uint64_t{0}},
        {"max_touch_points", std::int64_t{0}},
        {"avg_touch_radius", 0.0},
        {"touch_radius_var", 0.0},
        {"avg_touch_force", 0.0},
        {"touch_event_count", std::uint64_t{0}},
        {"curvature_score", 0.0},
        {"mean_curvature", 0.0},
        {"curvature_var", 0.0},
        {"curvature_rate_var", 0.0},
        {"avg_dwell_time", 0.0},
        {"dwell_time_var", 0.0},
        {"avg_flight_time", 0.0},
        {"flight_time_var", 0.0},
        {"digraph_entropy", 0.5},
        {"keystroke_score", 0.0},
    };
    ASSERT_EQ(expected.size(), kVisitFeatureCount);
    EXPECT_EQ(list_features(compute_visit_features(ParsedTelemetry{})), expected);
}

TEST(VisitFeatures, DevicePropertiesPassThroughUnchanged) {
    ParsedTelemetry telemetry;
    telemetry.screen_width = -5.0;
    telemetry.screen_valid = false;
    telemetry.webdriver = true;
    telemetry.touch_supported = true;
    telemetry.max_touch_points = -3;
    telemetry.plugins_length = -1;
    telemetry.click_count = 12;
    telemetry.scroll_count = 4;
    const DeviceFeatures device = compute_visit_features(telemetry).device;
    EXPECT_EQ(device.screen_width, -5.0);
    EXPECT_FALSE(device.screen_valid);
    EXPECT_TRUE(device.webdriver);
    EXPECT_TRUE(device.touch_supported);
    EXPECT_EQ(device.max_touch_points, -3);
    EXPECT_EQ(device.plugins_length, -1);
    EXPECT_EQ(device.click_count, 12u);
    EXPECT_EQ(device.scroll_count, 4u);
}

TEST(VisitFeatures, KeystrokesComeFromTheAnalysisWithSharedFlightTimes) {
    ParsedTelemetry telemetry;
    telemetry.keystrokes = {{.key = "a", .down = 0.0, .up = 90.0},
                            {.key = "b", .down = 150.0, .up = 230.0},
                            {.key = "c", .down = 400.0, .up = std::nullopt}};
    const KeystrokeMetrics direct = compute_keystroke_metrics(telemetry.keystrokes);
    const VisitFeatures features = compute_visit_features(telemetry);
    EXPECT_EQ(features.keystrokes.key_count, direct.key_count);
    EXPECT_EQ(features.keystrokes.digraph_entropy, direct.digraph_entropy);
    EXPECT_EQ(features.keystrokes.keystroke_score, direct.keystroke_score);

    const FeatureListing listing = list_features(features);
    const auto value_of = [&listing](const std::string& key) {
        for (const auto& [name, value] : listing) {
            if (name == key) {
                return value;
            }
        }
        ADD_FAILURE() << "missing key " << key;
        return testing::FeatureValue{};
    };
    EXPECT_EQ(value_of("key_interval_avg"), testing::FeatureValue(direct.avg_flight_time));
    EXPECT_EQ(value_of("avg_flight_time"), testing::FeatureValue(direct.avg_flight_time));
    EXPECT_EQ(value_of("key_interval_var"), testing::FeatureValue(direct.flight_time_var));
    EXPECT_EQ(value_of("flight_time_var"), testing::FeatureValue(direct.flight_time_var));
}

struct TouchCase {
    std::string name;
    std::vector<MovementPoint> points;
    double avg_radius;
    double radius_var;
    double avg_force;
    std::uint64_t event_count;
};

class VisitFeaturesTouch : public ::testing::TestWithParam<TouchCase> {};

TEST_P(VisitFeaturesTouch, SummarisesContactData) {
    const TouchCase& c = GetParam();
    const TouchFeatures touch = compute_touch_features(c.points);
    EXPECT_DOUBLE_EQ(touch.avg_touch_radius, c.avg_radius);
    EXPECT_DOUBLE_EQ(touch.touch_radius_var, c.radius_var);
    EXPECT_DOUBLE_EQ(touch.avg_touch_force, c.avg_force);
    EXPECT_EQ(touch.touch_event_count, c.event_count);
}

const double kNaN = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    VisitFeatures, VisitFeaturesTouch,
    ::testing::Values(TouchCase{"MouseOnly", {{.x = 1}, {.x = 2}}, 0.0, 0.0, 0.0, 0},
                      TouchCase{"ThreeRadii", {{.r = 2}, {.r = 4}, {.r = 6}}, 4.0, 8.0 / 3.0, 0.0, 3},
                      TouchCase{"ForceOnlyIsNoTouchEvent", {{.f = 0.25}, {.f = 0.75}}, 0.0, 0.0, 0.5, 0},
                      TouchCase{"NegativeRadiusStillGivesForce", {{.r = -1, .f = 0.5}}, 0.0, 0.0, 0.5, 0},
                      TouchCase{"NaNReadingsLeftOut", {{.r = kNaN, .f = kNaN}, {.r = 3, .f = 1}}, 3.0, 0.0, 1.0, 1}),
    [](const auto& tested) { return tested.param.name; });

TEST(VisitFeatures, TouchCountsEveryPointBeyondTheKinematicsLimit) {
    ParsedTelemetry telemetry;
    for (int i = 0; i < 400; ++i) {
        telemetry.points.push_back({.x = 1.0 * i, .y = 0.0, .t = 10.0 * i, .r = 2.0, .f = 0.5});
    }
    const VisitFeatures features = compute_visit_features(telemetry);
    EXPECT_EQ(features.touch.touch_event_count, 400u);
    EXPECT_EQ(features.mouse.mouse_points, 400u);
}

}  // namespace
}  // namespace veltrix
