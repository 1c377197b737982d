#pragma once
// The two operating-system clocks the state engine's callers read.

#include <cstdint>

#include "nonce_cache/monotonic_instant.hpp"

namespace veltrix {

// Whole seconds since the Unix epoch; a clock set before the epoch reads 0.
std::uint64_t wall_clock_seconds() noexcept;

MonotonicInstant monotonic_now() noexcept;

}  // namespace veltrix
