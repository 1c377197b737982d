#include "keystrokes/keystroke_metrics.hpp"

#include "keystrokes/digraph_group_means.hpp"
#include "keystrokes/flight_time_entropy.hpp"
#include "keystrokes/keystroke_score.hpp"
#include "keystrokes/keystroke_timing.hpp"
#include "kinematics/series_statistics.hpp"

namespace veltrix {

KeystrokeMetrics compute_keystroke_metrics(std::span<const KeystrokeRecord> records) {
    // Nothing typed is not the same as too little typed: no neutral entropy here.
    if (records.empty()) {
        return {};
    }
    const KeystrokeTiming timing(records);
    const std::span<const double> dwell_times = timing.dwell_times();
    const std::span<const double> flight_times = timing.flight_times();
    const double dwell_mean = mean(dwell_times);
    const double flight_mean = mean(flight_times);
    const KeystrokeEvidence evidence{
        .record_count = records.size(),
        .dwell_count = dwell_times.size(),
        .dwell_mean = dwell_mean,
        .dwell_variance = population_variance(dwell_times, dwell_mean),
        .flight_count = flight_times.size(),
        .flight_mean = flight_mean,
        .flight_variance = population_variance(flight_times, flight_mean),
        .flight_entropy = flight_time_entropy(flight_times),
        .digraph_means = digraph_group_means(timing.digraph_latencies()),
    };
    return {
        .key_count = records.size(),
        .avg_dwell_time = evidence.dwell_mean,
        .dwell_time_var = evidence.dwell_variance,
        .avg_flight_time = evidence.flight_mean,
        .flight_time_var = evidence.flight_variance,
        .digraph_entropy = evidence.flight_entropy,
        .keystroke_score = keystroke_score(evidence),
    };
}

}  // namespace veltrix
