#include "nonce_cache/clocks.hpp"

#include <time.h>

#include <chrono>

#include "platform/fatal_error.hpp"

namespace veltrix {
namespace {

timespec read_clock(clockid_t clock) noexcept {
    timespec reading{};
    if (clock_gettime(clock, &reading) != 0) die("clock_gettime failed");
    return reading;
}

}  // namespace

std::uint64_t wall_clock_seconds() noexcept {
    // Before the epoch tv_sec is negative (tv_nsec never is).
    const timespec reading = read_clock(CLOCK_REALTIME);
    return reading.tv_sec < 0 ? 0 : static_cast<std::uint64_t>(reading.tv_sec);
}

MonotonicInstant monotonic_now() noexcept {
    const timespec reading = read_clock(CLOCK_MONOTONIC);
    return MonotonicInstant{std::chrono::seconds{reading.tv_sec} + std::chrono::nanoseconds{reading.tv_nsec}};
}

}  // namespace veltrix
