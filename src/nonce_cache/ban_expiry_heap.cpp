#include "nonce_cache/ban_expiry_heap.hpp"

namespace veltrix {
namespace {

std::uint64_t expiry_of(const BanEntry* ban) noexcept { return ban->second.expiry; }

}  // namespace

void BanExpiryHeap::insert(BanEntry& ban) {
    heap_.push_back(&ban);
    ban.second.heap_position = heap_.size() - 1;
    sift_up(ban.second.heap_position);
}

void BanExpiryHeap::reorder(BanEntry& ban) noexcept {
    // At most one of the two moves the ban.
    sift_up(ban.second.heap_position);
    sift_down(ban.second.heap_position);
}

void BanExpiryHeap::erase(BanEntry& ban) noexcept {
    const std::size_t position = ban.second.heap_position;
    BanEntry* const last = heap_.back();
    heap_.pop_back();
    if (last == &ban) return;
    place(position, last);
    reorder(*last);
}

void BanExpiryHeap::sift_up(std::size_t position) noexcept {
    BanEntry* const ban = heap_[position];
    while (position > 0) {
        const std::size_t parent = (position - 1) / 2;
        if (expiry_of(heap_[parent]) <= expiry_of(ban)) break;
        place(position, heap_[parent]);
        position = parent;
    }
    place(position, ban);
}

void BanExpiryHeap::sift_down(std::size_t position) noexcept {
    BanEntry* const ban = heap_[position];
    const std::size_t count = heap_.size();
    for (;;) {
        std::size_t child = 2 * position + 1;
        if (child >= count) break;
        if (child + 1 < count && expiry_of(heap_[child + 1]) < expiry_of(heap_[child])) ++child;
        if (expiry_of(ban) <= expiry_of(heap_[child])) break;
        place(position, heap_[child]);
        position = child;
    }
    place(position, ban);
}

void BanExpiryHeap::place(std::size_t position, BanEntry* ban) noexcept {
    heap_[position] = ban;
    ban->second.heap_position = position;
}

}  // namespace veltrix
