#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "keystrokes/common_digraphs.hpp"
#include "keystrokes/flight_time_entropy.hpp"
#include "keystrokes/key_lowering.hpp"
#include "keystrokes/keystroke_metrics.hpp"
#include "keystrokes/keystroke_timing.hpp"
#include "keystrokes/press_order.hpp"
#include "timing_series.hpp"

namespace veltrix {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInfinity = std::numeric_limits<double>::infinity();
constexpr std::string_view kKelvinSign = "\xE2\x84\xAA";

KeystrokeRecord press(std::string_view key, double down, std::optional<double> up = std::nullopt) {
    return {KeyLabel(key), down, up};
}

// One unreleased press per letter, so flight times equal the gaps between downs.
std::vector<KeystrokeRecord> typed(std::string_view letters, const std::vector<double>& downs) {
    std::vector<KeystrokeRecord> records;
    for (std::size_t i = 0; i < letters.size(); ++i) {
        records.push_back(press(std::string(1, letters[i]), downs[i]));
    }
    return records;
}

// Key names never form digraphs, isolating the timing rules.
std::vector<KeystrokeRecord> shift_presses(const std::vector<double>& downs) {
    std::vector<KeystrokeRecord> records;
    for (const double down : downs) {
        records.push_back(press("Shift", down));
    }
    return records;
}

using testing::TimingSeries;

// Where each record stood in `records`, in press order.
std::vector<std::ptrdiff_t> press_order_positions(const std::vector<KeystrokeRecord>& records) {
    std::vector<const KeystrokeRecord*> order(records.size());
    in_press_order(records, order);
    std::vector<std::ptrdiff_t> positions;
    for (const KeystrokeRecord* record : order) {
        positions.push_back(record - records.data());
    }
    return positions;
}

DigraphLatency typed_pair(std::string_view text, double latency) { return {make_digraph(text[0], text[1]), latency}; }

// ---------------------------------------------------------------- key lowering

TEST(KeystrokeKeyLowering, OnlyKeysLoweringToOneAsciiByteQualify) {
    const struct {
        std::string_view key;
        std::optional<char> lowered;
    } cases[] = {
        // clang-format off
        {"a", 'a'},          {"T", 't'},          {"Z", 'z'},
        {" ", ' '},          {"7", '7'},          {"@", '@'},
        {"[", '['},          {kKelvinSign, 'k'},  {"", std::nullopt},
        {"Shift", std::nullopt},                  {"ab", std::nullopt},
        {"\xC3\xA9", std::nullopt},               // é
        {"\xC3\x89", std::nullopt},               // É
        {"\xC4\xB0", std::nullopt},               // İ lowers to i plus a combining dot
        {"\xE2\x84\xAA" "a", std::nullopt},       // Kelvin sign is only k on its own
        {"\x80", std::nullopt},                   // not UTF-8
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.key));
        EXPECT_EQ(lower_to_single_byte(c.key), c.lowered);
    }
}

// ---------------------------------------------------------------- common digraphs

TEST(KeystrokeCommonDigraphs, MembershipMatchesTheListForEveryAsciiPair) {
    constexpr int kAsciiEnd = 0x80;
    for (int first = 0; first < kAsciiEnd; ++first) {
        for (int second = 0; second < kAsciiEnd; ++second) {
            const std::string text{static_cast<char>(first), static_cast<char>(second)};
            const bool listed = std::ranges::find(COMMON_DIGRAPHS, text) != COMMON_DIGRAPHS.end();
            ASSERT_EQ(is_common_digraph(make_digraph(text[0], text[1])), listed) << first << ", " << second;
        }
    }
}

// ---------------------------------------------------------------- press order

TEST(KeystrokePressOrder, NaNPressesGoLastAndTiesKeepArrivalOrder) {
    const std::vector<KeystrokeRecord> records = {
        // clang-format off
        press("x", kNaN), press("a", 10), press("y", kNaN), press("b", 5),
        press("z", kNaN), press("c", 5),  press("d", -kInfinity),
        // clang-format on
    };
    // d, b, c, a, then the NaN presses x, y, z.
    EXPECT_EQ(press_order_positions(records), (std::vector<std::ptrdiff_t>{6, 3, 5, 1, 0, 2, 4}));
}

TEST(KeystrokePressOrder, LongInputWithManyNaNsAndTiesStaysStable) {
    // Long enough to leave the insertion-sort fast path of library sorts.
    constexpr int kRecords = 90;
    constexpr int kDistinctDowns = 5;
    const auto down_of = [](int i) { return i % 3 == 0 ? kNaN : static_cast<double>(i * 7 % kDistinctDowns); };
    std::vector<KeystrokeRecord> records;
    for (int i = kRecords - 1; i >= 0; --i) {
        records.push_back(press(std::to_string(i), down_of(i)));
    }
    // Record i was pushed at position kRecords - 1 - i.
    std::vector<std::ptrdiff_t> expected;
    for (int value = 0; value < kDistinctDowns; ++value) {
        for (int i = kRecords - 1; i >= 0; --i) {
            if (down_of(i) == value) {
                expected.push_back(kRecords - 1 - i);
            }
        }
    }
    for (int i = kRecords - 1; i >= 0; --i) {
        if (std::isnan(down_of(i))) {
            expected.push_back(kRecords - 1 - i);
        }
    }
    EXPECT_EQ(press_order_positions(records), expected);
}

// ---------------------------------------------------------------- timing series

const std::vector<KeystrokeRecord> kCatTyping = {
    press("t", 0, 95),    press("h", 180, 260), press("e", 310, 400),
    press("c", 520, 610), press("a", 700, 780), press("t", 850, 940),
};

TEST(KeystrokeTiming, DerivesDwellFlightAndDigraphSeries) {
    const TimingSeries timing(kCatTyping);
    EXPECT_EQ(timing.dwell_times, (std::vector<double>{95, 80, 90, 90, 80, 90}));
    EXPECT_EQ(timing.flight_times, (std::vector<double>{85, 50, 120, 90, 70}));
    // Grouped in byte order of the pair, not in typing order.
    EXPECT_EQ(timing.digraph_latencies,
              (std::vector<DigraphLatency>{typed_pair("at", 150), typed_pair("ca", 180), typed_pair("ec", 210),
                                           typed_pair("he", 130), typed_pair("th", 180)}));
}

TEST(KeystrokeTiming, ReversedInputGivesTheSameSeries) {
    const std::vector<KeystrokeRecord> reversed(kCatTyping.rbegin(), kCatTyping.rend());
    const TimingSeries expected(kCatTyping);
    const TimingSeries timing(reversed);
    EXPECT_EQ(timing.dwell_times, expected.dwell_times);
    EXPECT_EQ(timing.flight_times, expected.flight_times);
    EXPECT_EQ(timing.digraph_latencies, expected.digraph_latencies);
}

TEST(KeystrokeTiming, EqualDownsPairInArrivalOrderAndFormNoDigraph) {
    const TimingSeries a_first(std::vector{press("a", 100, 150), press("b", 100, 180)});
    EXPECT_EQ(a_first.flight_times, (std::vector<double>{-50}));
    EXPECT_TRUE(a_first.digraph_latencies.empty());
    const TimingSeries b_first(std::vector{press("b", 100, 180), press("a", 100, 150)});
    EXPECT_EQ(b_first.flight_times, (std::vector<double>{-80}));
}

TEST(KeystrokeTiming, DwellWindowIsStrict) {
    const struct {
        double up;
        std::vector<double> dwells;
    } cases[] = {{1000, {}}, {900, {}}, {6000, {}}, {5999, {4999}}, {1000.5, {0.5}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.up);
        EXPECT_EQ(TimingSeries(std::vector{press("a", 1000, c.up)}).dwell_times, c.dwells);
    }
}

TEST(KeystrokeTiming, FlightRunsFromReleaseOrPressWithStrictWindow) {
    const struct {
        std::optional<double> first_up;
        double second_down;
        std::vector<double> flights;
    } cases[] = {
        {std::nullopt, 300, {300}},  // no release reported: measured from the press
        {-100, 300, {400}},          // release before press gives no dwell but still anchors the flight
        {400, 200, {-200}},          // overlapping presses
        {700, 200, {}},              // -500 is too much overlap
        {699.5, 200, {-499.5}},
        {std::nullopt, 5000, {}},
        {std::nullopt, 4999, {4999}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.second_down);
        const TimingSeries timing =
            TimingSeries(std::vector{press("Shift", 0, c.first_up), press("Shift", c.second_down)});
        EXPECT_EQ(timing.flight_times, c.flights);
    }
}

TEST(KeystrokeTiming, DigraphsNeedTwoSingleCharacterKeysWithinTheLatencyWindow) {
    const struct {
        std::string first;
        std::string second;
        double latency;
        std::vector<DigraphLatency> digraphs;
    } cases[] = {
        {"Shift", "a", 100, {}},
        {"A", "B", 100, {typed_pair("ab", 100)}},
        {std::string(kKelvinSign), "A", 100, {typed_pair("ka", 100)}},
        {"\xC3\xA9", "a", 100, {}},
        {"", "a", 100, {}},
        {" ", "1", 100, {typed_pair(" 1", 100)}},
        {"a", "b", 2000, {}},
        {"a", "b", 1999, {typed_pair("ab", 1999)}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first + "|" + c.second);
        const TimingSeries timing = TimingSeries(std::vector{press(c.first, 0), press(c.second, c.latency)});
        EXPECT_EQ(timing.digraph_latencies, c.digraphs);
    }
}

TEST(KeystrokeTiming, RepeatedDigraphsCollectTogetherInTimeOrder) {
    const TimingSeries timing(typed("abxab", {0, 100, 300, 400, 450}));
    EXPECT_EQ(timing.digraph_latencies, (std::vector<DigraphLatency>{typed_pair("ab", 100), typed_pair("ab", 50),
                                                                     typed_pair("bx", 200), typed_pair("xa", 100)}));
}

TEST(KeystrokeTiming, NaNPressTimeYieldsNoIntervalsButBreaksNoOtherPair) {
    const TimingSeries timing =
        TimingSeries(std::vector{press("a", 0, 50), press("b", kNaN, 20), press("c", 100, 150)});
    EXPECT_EQ(timing.dwell_times, (std::vector<double>{50, 50}));
    EXPECT_EQ(timing.flight_times, (std::vector<double>{50}));
    EXPECT_EQ(timing.digraph_latencies, (std::vector<DigraphLatency>{typed_pair("ac", 100)}));
}

// ---------------------------------------------------------------- flight entropy

TEST(KeystrokeEntropy, HistogramBoundsAndMinimumCount) {
    const struct {
        const char* name;
        std::vector<double> flights;
        double entropy;
    } cases[] = {
        {"three in range", {50, 150, 250}, 0.5},
        {"four in range", {50, 150, 250, 350}, 2.0 / 3.0},
        {"out of range ignored", {50, 150, 250, 800.5, -1}, 0.5},
        {"800 shares the last bin", {800, 750, 50, 150, 250}, 0.6406426983},
        {"all in one bin", {0, 10, 99.9, 42}, 0.0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_NEAR(flight_time_entropy(c.flights), c.entropy, 1e-10);
    }
}

TEST(KeystrokeEntropy, EvenSpreadOverAllBinsIsExactlyOne) {
    EXPECT_EQ(flight_time_entropy(std::vector<double>{50, 150, 250, 350, 450, 550, 650, 750}), 1.0);
}

// ---------------------------------------------------------------- metrics and score

struct WorkedExample {
    const char* name;
    std::vector<KeystrokeRecord> records;
    KeystrokeMetrics expected;
};

std::vector<KeystrokeRecord> held_for(std::string_view letters, double step, double hold) {
    std::vector<KeystrokeRecord> records;
    for (std::size_t i = 0; i < letters.size(); ++i) {
        const double down = step * static_cast<double>(i);
        records.push_back(press(std::string(1, letters[i]), down, down + hold));
    }
    return records;
}

TEST(KeystrokeMetrics, WorkedExamplesMatchToPrintedPrecision) {
    constexpr double kPrintedPrecision = 5e-8;
    const WorkedExample examples[] = {
        {"cat typing", kCatTyping, {6, 87.5, 31.25, 83, 536, 0.2406427, 0}},
        {"scripted quick", held_for("thequick", 50, 10), {8, 10, 0, 40, 0, 0, 1}},
        {"letter",
         {press("l", 0, 80), press("e", 180, 264), press("t", 367, 443), press("t", 540, 620), press("e", 720, 803),
          press("r", 907, 984)},
         {6, 80, 8.3333333, 100.8, 6.16, 0.2406427, 0.6}},
        {"common pairs slow",
         typed("theronan", {0, 300, 600, 900, 1100, 1400, 1600, 1900}),
         {8, 0, 0, 271.4285714, 2040.8163265, 0.2877069, 0.4}},
    };
    for (const auto& example : examples) {
        SCOPED_TRACE(example.name);
        const KeystrokeMetrics m = compute_keystroke_metrics(example.records);
        EXPECT_EQ(m.key_count, example.expected.key_count);
        EXPECT_NEAR(m.avg_dwell_time, example.expected.avg_dwell_time, kPrintedPrecision);
        EXPECT_NEAR(m.dwell_time_var, example.expected.dwell_time_var, kPrintedPrecision);
        EXPECT_NEAR(m.avg_flight_time, example.expected.avg_flight_time, kPrintedPrecision);
        EXPECT_NEAR(m.flight_time_var, example.expected.flight_time_var, kPrintedPrecision);
        EXPECT_NEAR(m.digraph_entropy, example.expected.digraph_entropy, kPrintedPrecision);
        EXPECT_EQ(m.keystroke_score, example.expected.keystroke_score);
    }
}

TEST(KeystrokeMetrics, NoRecordsGiveAllZerosIncludingEntropy) {
    const KeystrokeMetrics m = compute_keystroke_metrics({});
    EXPECT_EQ(m.key_count, 0u);
    EXPECT_EQ(m.digraph_entropy, 0.0);
    EXPECT_EQ(m.keystroke_score, 0.0);
    EXPECT_EQ(m.avg_dwell_time, 0.0);
}

TEST(KeystrokeMetrics, TooFewRecordsStillGiveStatisticsButNoScore) {
    const KeystrokeMetrics one = compute_keystroke_metrics(std::vector{press("a", 0, 60)});
    EXPECT_EQ(one.key_count, 1u);
    EXPECT_EQ(one.avg_dwell_time, 60.0);
    EXPECT_EQ(one.dwell_time_var, 0.0);
    EXPECT_EQ(one.digraph_entropy, 0.5);
    // Two presses 10 ms apart would earn the speed bonus if they were scored.
    const KeystrokeMetrics two = compute_keystroke_metrics(shift_presses({0, 10}));
    EXPECT_EQ(two.avg_flight_time, 10.0);
    EXPECT_EQ(two.keystroke_score, 0.0);
}

struct ScoreCase {
    const char* name;
    std::vector<KeystrokeRecord> records;
    double score;
};

TEST(KeystrokeMetrics, ScoreRulesFireOnlyWithinTheirBoundsAndCounts) {
    const ScoreCase cases[] = {
        // Flight variance 0 but only two flights: speed alone.
        {"three fast presses", shift_presses({0, 10, 20}), 0.7},
        // One flight per histogram bin: entropy exactly 1 with 8 flights.
        {"evenly spread flights", shift_presses({0, 50, 200, 450, 800, 1250, 1800, 2450, 3200}), 0.5},
        {"steady holds",
         {press("Shift", 0, 99), press("Shift", 300, 401), press("Shift", 800, 899), press("Shift", 1500, 1601)},
         0.8},
        {"steady holds but only two",
         {press("Shift", 0, 99), press("Shift", 300, 401), press("Shift", 800), press("Shift", 1500)},
         0.0},
        // Short holds win, so the steady-hold rule must not add on top.
        {"short steady holds",
         {press("Shift", 0, 10), press("Shift", 300, 310), press("Shift", 800, 810), press("Shift", 1500, 1510)},
         0.75},
        {"slow common pairs, seven records", typed("thexyzw", {0, 300, 600, 700, 800, 900, 1000}), 0.0},
        {"slow common pairs, eight records", typed("thexyzwv", {0, 300, 600, 700, 800, 900, 1000, 1100}), 0.4},
        // Fast common pairs pull 0 below zero; the floor comes before the uniform-rhythm bonus.
        {"fast common pairs floor", typed("thexyz", {0, 30, 60, 150, 240, 330}), 0.7},
        // Flights of 900 ms: metronome rhythm, outside the histogram; one digraph group only.
        {"only common pairs", typed("thererer", {0, 900, 1800, 2700, 3600, 4500, 5400, 6300}), 0.85},
        {"only other pairs", typed("xyzxyzxy", {0, 900, 1800, 2700, 3600, 4500, 5400, 6300}), 0.85},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(compute_keystroke_metrics(c.records).keystroke_score, c.score);
    }
}

}  // namespace
}  // namespace veltrix
