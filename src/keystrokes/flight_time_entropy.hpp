#pragma once
// How evenly the pauses between keys spread over typical human durations.

#include <span>

namespace veltrix {

// Shannon entropy of the flight times in [0, 800] ms over eight 100 ms bins,
// normalised to [0, 1]. Fewer than four such flight times carry no usable
// shape and give the neutral 0.5.
double flight_time_entropy(std::span<const double> flight_times);

}  // namespace veltrix
