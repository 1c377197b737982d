#pragma once
// The process's memory of consumed nonces and banned addresses. Callers pass
// clock readings in; the engine itself never reads a clock.

#include <chrono>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "nonce_cache/ban_table.hpp"
#include "nonce_cache/monotonic_instant.hpp"
#include "nonce_cache/nonce_set.hpp"

namespace veltrix {

// An address and its absolute expiry in seconds since the Unix epoch.
using BanRecord = std::pair<std::string, std::uint64_t>;

struct StateEngineStats {
    std::size_t current_bucket_nonces = 0;
    std::size_t previous_bucket_nonces = 0;
    std::size_t active_ip_bans = 0;
};

template <class F>
concept MonotonicClockReader = std::invocable<F&> && std::same_as<std::invoke_result_t<F&>, MonotonicInstant>;

// Operations are noexcept because the only way they can fail is running out of
// memory, which ends the process rather than reaching the caller.
class StateEngine {
  public:
    static constexpr std::chrono::seconds bucket_width{60};

    explicit StateEngine(MonotonicInstant now);

    // Fresh exactly once per nonce while it stays remembered: from its first
    // consumption until the second bucket rotation after it. `now` is read
    // before the call; `read_monotonic` is read again only if the buckets
    // rotate, so the new bucket starts when the rotation has happened.
    template <MonotonicClockReader ReadClock>
    NonceCheck consume_nonce(std::string_view nonce, MonotonicInstant now, ReadClock&& read_monotonic) noexcept {
        if (bucket_has_ended(now)) rotate_buckets(std::invoke(read_monotonic));
        return record_if_unseen(nonce);
    }

    bool is_ip_banned(std::string_view ip, std::uint64_t now) const noexcept;
    // Bans expired at `now` are forgotten on the way.
    void ban_ip(std::string_view ip, std::uint64_t expiry, std::uint64_t now) noexcept;
    void unban_ip(std::string_view ip) noexcept;

    // Merges bans reloaded from elsewhere; pairs already expired at `now` are
    // skipped, and a later pair for the same address overrides an earlier one.
    void hydrate_bans(std::span<const BanRecord> bans, std::uint64_t now) noexcept;

    // Forgets the bans expired at `now`, so its cost does not grow with the
    // number of addresses ever banned.
    StateEngineStats stats(std::uint64_t now) noexcept;

    // Forgets every nonce and ban and starts a new bucket at `now`.
    void clear(MonotonicInstant now) noexcept;

  private:
    bool bucket_has_ended(MonotonicInstant now) const noexcept;
    void rotate_buckets(MonotonicInstant new_bucket_start) noexcept;
    NonceCheck record_if_unseen(std::string_view nonce) noexcept;

    NonceSet current_bucket_nonces_;
    NonceSet previous_bucket_nonces_;
    BanTable active_ip_bans_;
    MonotonicInstant bucket_start_;
};

}  // namespace veltrix
