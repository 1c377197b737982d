#pragma once
// A reading of the monotonic clock, exact to the nanosecond. The engine takes
// these as inputs rather than reading the clock, so bucket timing is testable.

#include <chrono>
#include <compare>

namespace veltrix {

struct MonotonicInstant {
    std::chrono::nanoseconds since_clock_origin{0};

    friend constexpr auto operator<=>(const MonotonicInstant&, const MonotonicInstant&) = default;
};

}  // namespace veltrix
