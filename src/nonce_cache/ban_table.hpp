#pragma once
// Banned addresses and when each ban ends. The bans are also kept in expiry
// order, so expired ones are forgotten earliest first without looking at the
// others: the table holds the bans in force, whatever the number of addresses
// ever banned, and counting them is a size, not a scan.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <string_view>
#include <unordered_map>

#include "nonce_cache/ban_expiry_heap.hpp"
#include "nonce_cache/siphash.hpp"

namespace veltrix {

// now + duration, pinned at the largest second: a wrapped sum would lift a ban
// the moment it was set.
constexpr std::uint64_t saturating_expiry(std::uint64_t now, std::uint64_t duration) noexcept {
    constexpr std::uint64_t last_second = std::numeric_limits<std::uint64_t>::max();
    return duration > last_second - now ? last_second : now + duration;
}

class BanTable {
  public:
    static constexpr std::size_t initial_entry_capacity = 1792;

    explicit BanTable(SipHashKey key);

    // Replaces any earlier ban of the address, later or not; an expiry that is
    // not after `now` lifts it. Bans expired at `now` are forgotten first.
    void ban(std::string_view address, std::uint64_t expiry, std::uint64_t now);
    void unban(std::string_view address) noexcept;

    // Banned while the current second is strictly before the expiry.
    bool is_banned(std::string_view address, std::uint64_t now) const noexcept;

    // Forgets the bans expired at `now`, then counts the rest. Each ban is
    // forgotten once, so the cost follows the bans that ended since the table
    // last forgot some, never the number stored.
    std::size_t count_active(std::uint64_t now) noexcept;

    // Stored entries, including any that expired since the table last forgot some.
    std::size_t size() const noexcept { return bans_.size(); }

    // Forgets every entry but keeps the bucket array and the hash key.
    void clear() noexcept;

  private:
    void forget_expired(std::uint64_t now) noexcept;

    std::unordered_map<std::string, BanState, KeyedSipHash, std::equal_to<>> bans_;
    BanExpiryHeap expiry_order_;
};

}  // namespace veltrix
