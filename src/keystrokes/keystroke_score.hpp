#pragma once
// Grades a key sequence for the marks of scripted typing.

#include <cstddef>
#include <optional>

#include "keystrokes/digraph_group_means.hpp"

namespace veltrix {

struct KeystrokeEvidence {
    std::size_t record_count = 0;
    std::size_t dwell_count = 0;
    double dwell_mean = 0.0;
    double dwell_variance = 0.0;
    std::size_t flight_count = 0;
    double flight_mean = 0.0;
    double flight_variance = 0.0;
    double flight_entropy = 0.0;
    std::optional<DigraphGroupMeans> digraph_means;
};

// In [0, 1]; higher means more machine-like. Rules are applied in a fixed
// order because the digraph rule floors the running score before later rules
// add to it. Fewer than three records are too little to judge and score 0.
double keystroke_score(const KeystrokeEvidence& evidence);

}  // namespace veltrix
