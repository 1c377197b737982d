#include "nonce_cache/ban_table.hpp"

#include <algorithm>

namespace veltrix {

BanTable::BanTable(SipHashKey key) : expiries_(0, KeyedSipHash{key}) { expiries_.reserve(initial_entry_capacity); }

void BanTable::ban(std::string_view address, std::uint64_t expiry) {
    expiries_.insert_or_assign(std::string(address), expiry);
}

void BanTable::unban(std::string_view address) noexcept {
    if (const auto entry = expiries_.find(address); entry != expiries_.end()) expiries_.erase(entry);
}

bool BanTable::is_banned(std::string_view address, std::uint64_t now) const noexcept {
    const auto entry = expiries_.find(address);
    return entry != expiries_.end() && now < entry->second;
}

std::size_t BanTable::count_active(std::uint64_t now) const noexcept {
    return static_cast<std::size_t>(
        std::ranges::count_if(expiries_, [now](const auto& entry) { return now < entry.second; }));
}

}  // namespace veltrix
