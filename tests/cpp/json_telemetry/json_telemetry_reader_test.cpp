#include <cmath>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "json_telemetry/json_telemetry_reader.hpp"

namespace veltrix::json {
namespace {

std::optional<ParsedTelemetry> read_body(const std::string& body) {
    JsonTelemetryReader reader;
    reader.load(body);
    return reader.read();
}

TEST(JsonTelemetryReader, NegativeZeroIntegerIsPositiveZeroButNegativeZeroFloatKeepsItsSign) {
    const auto integer = read_body(R"({"browser":{"screen_width":-0,"screen_height":-0.0}})");
    ASSERT_TRUE(integer);
    EXPECT_FALSE(std::signbit(integer->screen_width));
    EXPECT_TRUE(std::signbit(integer->screen_height));
    EXPECT_FALSE(integer->screen_valid);
}

TEST(JsonTelemetryReader, LastOfDuplicateKeysCounts) {
    const auto parsed =
        read_body(R"({"clicks":[1,2,3],"browser":{"plugins_length":4,"plugins_length":7},"clicks":[1]})");
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->click_count, 1u);
    EXPECT_EQ(parsed->plugins_length, 7);
}

TEST(JsonTelemetryReader, NumbersFollowTheDictReadersConversions) {
    const auto parsed =
        read_body(R"({"browser":{"webdriver":1,"touch_supported":true,"max_touch_points":2.0,"plugins_length":true,)"
                  R"("screen_width":true,"screen_height":9007199254740993}})");
    ASSERT_TRUE(parsed);
    EXPECT_FALSE(parsed->webdriver);
    EXPECT_TRUE(parsed->touch_supported);
    EXPECT_EQ(parsed->max_touch_points, 0);  // a float is no integer
    EXPECT_EQ(parsed->plugins_length, 1);    // true is the int 1
    EXPECT_EQ(parsed->screen_width, 1.0);
    EXPECT_EQ(parsed->screen_height, 9007199254740992.0);  // ties to even
}

TEST(JsonTelemetryReader, KeystrokesAndMovementsFollowTheDictReadersRules) {
    const auto parsed =
        read_body(R"({"keystrokes":[{"t":"x","down":5,"up":"u","duration_ms":80},{"key":"a"},{"key":7,"time":9}],)"
                  R"("mouse_movements":[{"x":1,"y":2,"t":3,"r":-1},{"x":1,"y":2},{"x":true,"y":2,"t":3,"f":"f"}]})");
    ASSERT_TRUE(parsed);
    ASSERT_EQ(parsed->keystrokes.size(), 2u);
    EXPECT_EQ(parsed->keystrokes[0].down, 5.0);
    EXPECT_EQ(parsed->keystrokes[0].up, 85.0);
    EXPECT_FALSE(parsed->keystrokes[1].up);
    ASSERT_EQ(parsed->points.size(), 2u);
    EXPECT_EQ(parsed->points[0].r, -1.0);
    EXPECT_EQ(parsed->points[1].x, 1.0);
    EXPECT_EQ(parsed->points[1].f, 0.0);
}

TEST(JsonTelemetryReader, BodiesOnlyJsonLoadsReadsExactlyGiveNothing) {
    for (const std::string body : {"\xEF\xBB\xBF{}", R"({"x":NaN})", R"({"x":1e400})", R"({"k":"\ud800"})",
                                   R"({"x":123456789012345678901234567890})", "{", "{}x", ""}) {
        EXPECT_FALSE(read_body(body)) << body;
    }
}

// A reader that left ignored members unread would take every one of these.
TEST(JsonTelemetryReader, FaultsInsideIgnoredMembersAndAfterTheVisitGiveNothing) {
    for (const std::string extra : {"[1,,2]", R"({"a":1,})", "[1 2]", R"({"a" 1})", "01", "1.", "[-]", "1e", "1x",
                                    "nul", "truex", R"("\q")", R"({"\q":1})", "\"a\x01b\""}) {
        const std::string body = R"({"clicks":[1],"extra":)" + extra + "}";
        EXPECT_FALSE(read_body(body)) << body;
    }
    for (const std::string body : {R"({"clicks":[1]} ])", R"({"clicks":[1]} 5)", R"({"clicks":[1]}{})"}) {
        EXPECT_FALSE(read_body(body)) << body;
    }
}

TEST(JsonTelemetryReader, DeepAndOversizedBodiesAreReadAndTheReaderGoesOn) {
    const std::string deep = R"({"clicks":[1],"extra":)" + std::string(100'000, '[') + std::string(100'000, ']') + "}";
    std::string movements = R"({"mouse_movements":[)";
    for (int i = 0; i < 20'000; ++i) movements += R"({"x":1,"y":2,"t":3},)";
    movements += R"({"x":1,"y":2,"t":3}]})";

    JsonTelemetryReader reader;
    const auto read = [&reader](const std::string& body) {
        reader.load(body);
        return reader.read();
    };
    const auto nested = read(deep);
    ASSERT_TRUE(nested);
    EXPECT_EQ(nested->click_count, 1u);
    const auto oversized = read(movements);
    ASSERT_TRUE(oversized);
    EXPECT_EQ(oversized->points.size(), 20'001u);
    const auto small = read(R"({"scrolls":[1,2]})");
    ASSERT_TRUE(small);
    EXPECT_EQ(small->scroll_count, 2u);
}

}  // namespace
}  // namespace veltrix::json
