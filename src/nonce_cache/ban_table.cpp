#include "nonce_cache/ban_table.hpp"

namespace veltrix {

BanTable::BanTable(SipHashKey key) : bans_(0, KeyedSipHash{key}) { bans_.reserve(initial_entry_capacity); }

void BanTable::ban(std::string_view address, std::uint64_t expiry, std::uint64_t now) {
    forget_expired(now);
    if (expiry <= now) {
        unban(address);
        return;
    }
    // One hash whether the address is new or not, as the map has no lookup by view that inserts.
    const auto [entry, added] = bans_.try_emplace(std::string(address));
    entry->second.expiry = expiry;
    if (added) {
        expiry_order_.insert(*entry);
    } else {
        expiry_order_.reorder(*entry);
    }
}

void BanTable::unban(std::string_view address) noexcept {
    const auto entry = bans_.find(address);
    if (entry == bans_.end()) return;
    expiry_order_.erase(*entry);
    bans_.erase(entry);
}

bool BanTable::is_banned(std::string_view address, std::uint64_t now) const noexcept {
    const auto entry = bans_.find(address);
    return entry != bans_.end() && now < entry->second.expiry;
}

std::size_t BanTable::count_active(std::uint64_t now) noexcept {
    forget_expired(now);
    return bans_.size();
}

void BanTable::clear() noexcept {
    bans_.clear();
    expiry_order_.clear();
}

void BanTable::forget_expired(std::uint64_t now) noexcept {
    while (!expiry_order_.empty() && expiry_order_.earliest().second.expiry <= now) {
        BanEntry& expired = expiry_order_.earliest();
        expiry_order_.erase(expired);
        bans_.erase(bans_.find(expired.first));
    }
}

}  // namespace veltrix
