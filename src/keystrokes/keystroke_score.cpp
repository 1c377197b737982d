#include "keystrokes/keystroke_score.hpp"

#include <algorithm>

namespace veltrix {
namespace {

constexpr std::size_t kMinRecordsToScore = 3;

// Flight times steadier than any human rhythm.
constexpr double kMetronomeFlightVariance = 2.0;
constexpr std::size_t kMinFlightsForMetronome = 3;
constexpr double kMetronomeWeight = 0.85;
constexpr double kSteadyFlightVariance = 15.0;
constexpr std::size_t kMinFlightsForSteady = 4;
constexpr double kSteadyWeight = 0.6;

// Pauses between keys shorter than fingers can manage.
constexpr double kMinHumanFlightMean = 25.0;
constexpr double kFastFlightWeight = 0.7;

// Keys held too briefly, or for too constant a time.
constexpr double kShortHoldMean = 15.0;
constexpr double kShortHoldWeight = 0.75;
constexpr double kSteadyHoldVariance = 2.0;
constexpr std::size_t kMinHoldsForSteady = 3;
constexpr double kSteadyHoldWeight = 0.8;

// People type familiar pairs faster than others; a script does not.
constexpr std::size_t kMinRecordsForSlowCommon = 8;
constexpr double kSlowCommonRatio = 1.05;
constexpr double kSlowCommonWeight = 0.4;
constexpr double kFastCommonRatio = 0.85;
constexpr double kFastCommonRelief = 0.25;

// Flight times crowded into few bins, or spread unnaturally evenly over all.
constexpr double kUniformRhythmEntropy = 0.15;
constexpr std::size_t kMinFlightsForUniform = 5;
constexpr double kUniformRhythmWeight = 0.7;
constexpr double kFlatRhythmEntropy = 0.98;
constexpr std::size_t kMinFlightsForFlat = 8;
constexpr double kFlatRhythmWeight = 0.5;

double rhythm_weight(const KeystrokeEvidence& e) {
    if (e.flight_variance < kMetronomeFlightVariance && e.flight_count >= kMinFlightsForMetronome) {
        return kMetronomeWeight;
    }
    if (e.flight_variance < kSteadyFlightVariance && e.flight_count >= kMinFlightsForSteady) {
        return kSteadyWeight;
    }
    return 0.0;
}

double speed_weight(const KeystrokeEvidence& e) {
    return (0.0 < e.flight_mean && e.flight_mean < kMinHumanFlightMean) ? kFastFlightWeight : 0.0;
}

double hold_weight(const KeystrokeEvidence& e) {
    if (e.dwell_count == 0) {
        return 0.0;
    }
    if (e.dwell_mean < kShortHoldMean) {
        return kShortHoldWeight;
    }
    if (e.dwell_variance < kSteadyHoldVariance && e.dwell_count >= kMinHoldsForSteady) {
        return kSteadyHoldWeight;
    }
    return 0.0;
}

double with_digraph_rule(double score, const KeystrokeEvidence& e) {
    if (!e.digraph_means) {
        return score;
    }
    const auto [common, other] = *e.digraph_means;
    if (e.record_count >= kMinRecordsForSlowCommon && common >= kSlowCommonRatio * other) {
        return score + kSlowCommonWeight;
    }
    if (common < kFastCommonRatio * other) {
        return std::max(score - kFastCommonRelief, 0.0);
    }
    return score;
}

double variety_weight(const KeystrokeEvidence& e) {
    if (e.flight_entropy < kUniformRhythmEntropy && e.flight_count >= kMinFlightsForUniform) {
        return kUniformRhythmWeight;
    }
    if (e.flight_entropy > kFlatRhythmEntropy && e.flight_count >= kMinFlightsForFlat) {
        return kFlatRhythmWeight;
    }
    return 0.0;
}

}  // namespace

double keystroke_score(const KeystrokeEvidence& evidence) {
    if (evidence.record_count < kMinRecordsToScore) {
        return 0.0;
    }
    double score = rhythm_weight(evidence);
    score += speed_weight(evidence);
    score += hold_weight(evidence);
    score = with_digraph_rule(score, evidence);
    score += variety_weight(evidence);
    return std::clamp(score, 0.0, 1.0);
}

}  // namespace veltrix
