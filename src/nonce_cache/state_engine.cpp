#include "nonce_cache/state_engine.hpp"

#include "nonce_cache/random_key.hpp"

namespace veltrix {

StateEngine::StateEngine(MonotonicInstant now)
    : current_bucket_nonces_(random_siphash_key()),
      previous_bucket_nonces_(random_siphash_key()),
      active_ip_bans_(random_siphash_key()),
      bucket_start_(now) {}

bool StateEngine::is_ip_banned(std::string_view ip, std::uint64_t now) const noexcept {
    return active_ip_bans_.is_banned(ip, now);
}

void StateEngine::ban_ip(std::string_view ip, std::uint64_t expiry, std::uint64_t now) noexcept {
    active_ip_bans_.ban(ip, expiry, now);
}

void StateEngine::unban_ip(std::string_view ip) noexcept { active_ip_bans_.unban(ip); }

void StateEngine::hydrate_bans(std::span<const BanRecord> bans, std::uint64_t now) noexcept {
    for (const auto& [ip, expiry] : bans) {
        if (now < expiry) active_ip_bans_.ban(ip, expiry, now);
    }
}

StateEngineStats StateEngine::stats(std::uint64_t now) noexcept {
    return {current_bucket_nonces_.size(), previous_bucket_nonces_.size(), active_ip_bans_.count_active(now)};
}

void StateEngine::clear(MonotonicInstant now) noexcept {
    current_bucket_nonces_.clear();
    previous_bucket_nonces_.clear();
    active_ip_bans_.clear();
    bucket_start_ = now;
}

bool StateEngine::bucket_has_ended(MonotonicInstant now) const noexcept {
    // A clock that reads earlier than the bucket start counts as no time passed.
    return now > bucket_start_ && now.since_clock_origin - bucket_start_.since_clock_origin >= bucket_width;
}

void StateEngine::rotate_buckets(MonotonicInstant new_bucket_start) noexcept {
    // Only one rotation however long the gap: after a quiet spell the last
    // active bucket is still remembered for one more bucket width.
    previous_bucket_nonces_ = std::move(current_bucket_nonces_);
    current_bucket_nonces_ = NonceSet(random_siphash_key());
    bucket_start_ = new_bucket_start;
}

NonceCheck StateEngine::record_if_unseen(std::string_view nonce) noexcept {
    // An empty bucket needs no hashing: it is the common case in the first minute.
    if (!previous_bucket_nonces_.empty() && previous_bucket_nonces_.contains(nonce)) {
        return NonceCheck::replayed;
    }
    return current_bucket_nonces_.insert(nonce);
}

}  // namespace veltrix
