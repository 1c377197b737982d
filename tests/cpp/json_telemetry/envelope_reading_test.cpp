#include <array>
#include <optional>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "json_telemetry/envelope_reading.hpp"
#include "json_telemetry/json_telemetry_reader.hpp"

namespace veltrix::json {
namespace {

using namespace std::string_view_literals;

constexpr std::array kKeptNames = {"id"sv, "label"sv};

struct Reading {
    std::optional<VisitFeatures> features;
    std::array<std::optional<std::string>, 2> kept;  // the raw JSON of each kept value
};

Reading read(const std::string& body, std::optional<std::string_view> key, bool must_be_object = true) {
    JsonTelemetryReader reader;
    reader.load(body);
    const auto root = reader.parse();
    EXPECT_TRUE(root) << body;
    std::array<std::optional<simdjson::dom::element>, 2> kept;
    Reading reading;
    reading.features = read_envelope(*root, {key, must_be_object, kKeptNames}, kept);
    for (std::size_t index = 0; index < kept.size(); ++index) {
        if (kept[index]) reading.kept[index] = simdjson::minify(*kept[index]);
    }
    reader.release();
    return reading;
}

TEST(EnvelopeReading, LastOfDuplicateMembersCountsAndNamesAreComparedUnescaped) {
    const Reading reading = read(R"({"id":1,"telemetry":{"clicks":[1]},"\u0069d":"two","lab\u0065l":null,)"
                                 R"("telemetry":{"clicks":[1,2,3]}})",
                                 "telemetry");
    ASSERT_TRUE(reading.features);
    EXPECT_EQ(reading.features->device.click_count, 3u);
    EXPECT_EQ(reading.kept[0], R"("two")");
    EXPECT_EQ(reading.kept[1], "null");
}

TEST(EnvelopeReading, MissingKeptMembersStayEmptyAndTheTelemetryMayBeKeptToo) {
    const Reading reading = read(R"({"label":{"telemetry":{}},"telemetry":{}})", "label");
    ASSERT_TRUE(reading.features);
    EXPECT_FALSE(reading.kept[0]);
    EXPECT_EQ(reading.kept[1], R"({"telemetry":{}})");
}

TEST(EnvelopeReading, DocumentsWithoutTheTelemetryAskedForGiveNothing) {
    EXPECT_FALSE(read(R"({"id":1})", "telemetry").features);             // no member
    EXPECT_FALSE(read(R"({"telemetry":[1]})", "telemetry").features);    // no object where one is required
    EXPECT_FALSE(read(R"([{"telemetry":{}}])", "telemetry").features);   // no object around it
    EXPECT_FALSE(read(R"([{"telemetry":{}}])", std::nullopt).features);  // kept members of no object
    const Reading lenient = read(R"({"telemetry":null})", "telemetry", false);
    ASSERT_TRUE(lenient.features);  // read as the empty visit, as extract_features_rs reads None
    EXPECT_EQ(lenient.features->mouse.mouse_points, 0u);
}

}  // namespace
}  // namespace veltrix::json
