// The keystroke analysis against a plain rendering of its rules: sorted copies of
// the records, digraphs as texts in an ordered map, a linear search of the common
// pairs. On random sequences both must agree to the bit, so any reorganisation of
// the fast path that changes an order of summation shows up here.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "keystrokes/common_digraphs.hpp"
#include "keystrokes/flight_time_entropy.hpp"
#include "keystrokes/keystroke_metrics.hpp"
#include "keystrokes/keystroke_score.hpp"
#include "keystrokes/keystroke_timing.hpp"
#include "kinematics/series_statistics.hpp"
#include "timing_series.hpp"

namespace veltrix {
namespace {

struct ReferenceTiming {
    std::vector<double> dwell_times;
    std::vector<double> flight_times;
    std::map<std::string, std::vector<double>> digraph_latencies;
};

ReferenceTiming reference_timing(std::span<const KeystrokeRecord> records) {
    std::vector<KeystrokeRecord> presses(records.begin(), records.end());
    std::ranges::stable_sort(presses, [](const KeystrokeRecord& a, const KeystrokeRecord& b) {
        return std::isnan(b.down) ? !std::isnan(a.down) : a.down < b.down;
    });
    ReferenceTiming timing;
    for (std::size_t i = 0; i < presses.size(); ++i) {
        const KeystrokeRecord& press = presses[i];
        if (press.up && 0.0 < *press.up - press.down && *press.up - press.down < 5000.0) {
            timing.dwell_times.push_back(*press.up - press.down);
        }
        if (i == 0) {
            continue;
        }
        const KeystrokeRecord& previous = presses[i - 1];
        const double flight = press.down - previous.up.value_or(previous.down);
        if (-500.0 < flight && flight < 5000.0) {
            timing.flight_times.push_back(flight);
        }
        const std::optional<char> first = previous.key.digraph_character();
        const std::optional<char> second = press.key.digraph_character();
        const double latency = press.down - previous.down;
        if (first && second && 0.0 < latency && latency < 2000.0) {
            timing.digraph_latencies[std::string{*first, *second}].push_back(latency);
        }
    }
    return timing;
}

std::optional<DigraphGroupMeans> reference_group_means(const ReferenceTiming& timing) {
    std::vector<double> common;
    std::vector<double> other;
    for (const auto& [text, latencies] : timing.digraph_latencies) {
        const bool is_common = std::ranges::find(COMMON_DIGRAPHS, text) != COMMON_DIGRAPHS.end();
        (is_common ? common : other).push_back(sum(latencies) / static_cast<double>(latencies.size()));
    }
    if (common.empty() || other.empty()) {
        return std::nullopt;
    }
    return DigraphGroupMeans{mean(common), mean(other)};
}

KeystrokeMetrics reference_metrics(std::span<const KeystrokeRecord> records) {
    if (records.empty()) {
        return {};
    }
    const ReferenceTiming timing = reference_timing(records);
    KeystrokeEvidence evidence{
        .record_count = records.size(),
        .dwell_count = timing.dwell_times.size(),
        .dwell_mean = mean(timing.dwell_times),
        .flight_count = timing.flight_times.size(),
        .flight_mean = mean(timing.flight_times),
        .flight_entropy = flight_time_entropy(timing.flight_times),
        .digraph_means = reference_group_means(timing),
    };
    evidence.dwell_variance = population_variance(timing.dwell_times, evidence.dwell_mean);
    evidence.flight_variance = population_variance(timing.flight_times, evidence.flight_mean);
    return {records.size(),           evidence.dwell_mean,     evidence.dwell_variance,  evidence.flight_mean,
            evidence.flight_variance, evidence.flight_entropy, keystroke_score(evidence)};
}

std::vector<DigraphLatency> flattened(const std::map<std::string, std::vector<double>>& latencies) {
    std::vector<DigraphLatency> flat;
    for (const auto& [text, digraph_latencies] : latencies) {
        for (const double latency : digraph_latencies) {
            flat.push_back({make_digraph(text[0], text[1]), latency});
        }
    }
    return flat;
}

// Typing-like sequences with the awkward cases mixed in: key names and
// non-ASCII keys, ties, presses out of order, NaN times, releases before presses.
std::vector<KeystrokeRecord> random_typing(std::mt19937_64& random) {
    static const std::vector<std::string> kKeys = {
        "t",
        "h",
        "e",
        "a",
        "n",
        "r",
        "o",
        "s",
        "x",
        "q",
        "k",
        "T",
        "H",
        "E",
        " ",
        "1",
        "Shift",
        "",
        "\xE2\x84\xAA",  // Kelvin sign, lowers to k
        "\xC3\xA9",      // é, two bytes
    };
    constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
    // Past 150 records the series leave their inline storage.
    std::uniform_int_distribution<std::size_t> length(0, 200);
    std::uniform_int_distribution<std::size_t> key(0, kKeys.size() - 1);
    std::uniform_int_distribution<int> percent(0, 99);
    std::uniform_real_distribution<double> gap(-150.0, 450.0);
    std::uniform_real_distribution<double> hold(-40.0, 260.0);

    std::vector<KeystrokeRecord> records(length(random));
    double time = 0.0;
    for (KeystrokeRecord& record : records) {
        record.key = KeyLabel(kKeys[key(random)]);
        // Coarse times make ties and repeated latencies common.
        time += percent(random) < 20 ? 0.0 : std::round(gap(random) / 25.0) * 25.0;
        record.down = percent(random) < 2 ? kNaN : time;
        const int release = percent(random);
        if (release < 60) {
            record.up = record.down + hold(random);
        } else if (release < 65) {
            record.up = kNaN;
        }
    }
    if (percent(random) < 10) {
        std::ranges::reverse(records);
    }
    return records;
}

TEST(KeystrokeReference, RandomSequencesMatchThePlainRulesBitForBit) {
    constexpr int kSequences = 3000;
    std::mt19937_64 random(20260512);
    for (int sequence = 0; sequence < kSequences; ++sequence) {
        const std::vector<KeystrokeRecord> records = random_typing(random);
        SCOPED_TRACE(::testing::Message() << "sequence " << sequence << ", " << records.size() << " records");

        const testing::TimingSeries timing(records);
        const ReferenceTiming expected_timing = reference_timing(records);
        ASSERT_EQ(timing.dwell_times, expected_timing.dwell_times);
        ASSERT_EQ(timing.flight_times, expected_timing.flight_times);
        ASSERT_EQ(timing.digraph_latencies, flattened(expected_timing.digraph_latencies));

        const KeystrokeMetrics metrics = compute_keystroke_metrics(records);
        const KeystrokeMetrics expected = reference_metrics(records);
        ASSERT_EQ(metrics.key_count, expected.key_count);
        ASSERT_EQ(metrics.avg_dwell_time, expected.avg_dwell_time);
        ASSERT_EQ(metrics.dwell_time_var, expected.dwell_time_var);
        ASSERT_EQ(metrics.avg_flight_time, expected.avg_flight_time);
        ASSERT_EQ(metrics.flight_time_var, expected.flight_time_var);
        ASSERT_EQ(metrics.digraph_entropy, expected.digraph_entropy);
        ASSERT_EQ(metrics.keystroke_score, expected.keystroke_score);
    }
}

}  // namespace
}  // namespace veltrix
