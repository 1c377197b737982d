#include "nonce_cache/nonce_set.hpp"

#include <algorithm>

namespace veltrix {

namespace {
constexpr unsigned tag_shift = 56;
}  // namespace

NonceSet::NonceSet(SipHashKey key)
    : hash_key_(key), tags_(initial_slot_count, empty_tag), slots_(initial_slot_count) {}

bool NonceSet::contains(std::string_view key) const noexcept {
    return probe(key, siphash13(hash_key_, key)).found;
}

bool NonceSet::insert(std::string_view key) {
    const std::uint64_t hash = siphash13(hash_key_, key);
    Probe position = probe(key, hash);
    if (position.found) return false;
    if (is_full()) {
        double_capacity();
        position.index = first_empty_slot(hash);
    }
    occupy(position.index, hash, arena_.store(key) + 1);
    ++size_;
    return true;
}

void NonceSet::clear() noexcept {
    std::ranges::fill(tags_, empty_tag);
    arena_.clear();
    size_ = 0;
}

NonceSet::Tag NonceSet::tag_of(std::uint64_t hash) noexcept {
    // The slot index comes from the low bits, so the top byte is independent of it.
    const auto tag = static_cast<Tag>(hash >> tag_shift);
    return tag == empty_tag ? Tag{1} : tag;
}

NonceSet::Probe NonceSet::probe(std::string_view key, std::uint64_t hash) const noexcept {
    const Tag tag = tag_of(hash);
    const std::size_t mask = tags_.size() - 1;
    for (std::size_t index = hash & mask;; index = (index + 1) & mask) {
        if (tags_[index] == empty_tag) return {index, false};
        if (tags_[index] == tag && key_in(slots_[index]) == key) return {index, true};
    }
}

std::size_t NonceSet::first_empty_slot(std::uint64_t hash) const noexcept {
    const std::size_t mask = tags_.size() - 1;
    std::size_t index = hash & mask;
    while (tags_[index] != empty_tag) index = (index + 1) & mask;
    return index;
}

void NonceSet::occupy(std::size_t index, std::uint64_t hash, Slot slot) noexcept {
    tags_[index] = tag_of(hash);
    slots_[index] = slot;
}

bool NonceSet::is_full() const noexcept {
    // Seven eighths: past that, linear probe runs grow steeply.
    const std::size_t max_entries = tags_.size() - tags_.size() / 8;
    return size_ >= max_entries;
}

void NonceSet::double_capacity() {
    // Rebuilt from the arena rather than the old slots: the arena walk is
    // sequential, where following old slots would miss the cache on every key.
    const std::size_t doubled = tags_.size() * 2;
    tags_.assign(doubled, empty_tag);
    slots_.resize(doubled);
    arena_.for_each_entry([this](std::uint32_t first_unit, std::string_view key) {
        const std::uint64_t hash = siphash13(hash_key_, key);
        occupy(first_empty_slot(hash), hash, first_unit + 1);
    });
}

}  // namespace veltrix
