#pragma once
// Banned addresses and when each ban ends. An entry whose expiry has passed is
// kept (queries just ignore it) until it is replaced, lifted or cleared.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <string_view>
#include <unordered_map>

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

    // Replaces any earlier expiry of the address, later or not.
    void ban(std::string_view address, std::uint64_t expiry);
    void unban(std::string_view address) noexcept;

    // Banned while the current second is strictly before the expiry.
    bool is_banned(std::string_view address, std::uint64_t now) const noexcept;
    std::size_t count_active(std::uint64_t now) const noexcept;

    // Every entry, expired ones included.
    std::size_t size() const noexcept { return expiries_.size(); }

    // Forgets every entry but keeps the bucket array and the hash key.
    void clear() noexcept { expiries_.clear(); }

  private:
    std::unordered_map<std::string, std::uint64_t, KeyedSipHash, std::equal_to<>> expiries_;
};

}  // namespace veltrix
