#include "nonce_cache/nonce_set.hpp"

#include <algorithm>
#include <optional>
#include <utility>

namespace veltrix {

namespace {
constexpr unsigned tag_shift = 56;
// Beyond this size the slot index needs more hash bits than an arena hint keeps.
constexpr std::size_t hinted_slot_limit = std::size_t{1} << NonceArena::hint_bits;
static_assert(tag_shift >= NonceArena::hint_bits, "the tag must not repeat index bits");
constexpr std::size_t rehash_prefetch_distance = 16;  // slots

std::uint32_t hint_of(std::uint64_t hash) noexcept { return static_cast<std::uint32_t>(hash); }
}  // namespace

NonceSet::NonceSet(SipHashKey key) : hash_key_(key), tags_(initial_slot_count, empty_tag), slots_(initial_slot_count) {}

bool NonceSet::contains(std::string_view key) const noexcept { return probe(key, siphash13(hash_key_, key)).found; }

NonceCheck NonceSet::insert(std::string_view key) {
    const std::uint64_t hash = siphash13(hash_key_, key);
    Probe position = probe(key, hash);
    if (position.found) return NonceCheck::replayed;
    const std::optional<std::uint32_t> first_unit = arena_.store(key, hint_of(hash));
    if (!first_unit) return NonceCheck::bucket_full;
    if (is_full()) {
        double_capacity();
        position.index = first_empty_slot(hash);
    }
    occupy(position.index, hash, *first_unit + 1);
    ++size_;
    return NonceCheck::fresh;
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
    // Short keys keep their low hash bits in the arena and the tag moves as it
    // is, so keys are re-slotted without hashing them again.
    const std::vector<Tag> old_tags = std::exchange(tags_, std::vector<Tag>(tags_.size() * 2, empty_tag));
    const std::vector<Slot> old_slots = std::exchange(slots_, std::vector<Slot>(slots_.size() * 2));
    const bool hints_cover_index = slot_count() <= hinted_slot_limit;
    for (std::size_t index = 0; index < old_tags.size(); ++index) {
        // Old slots point all over the arena: start loading headers early.
        const std::size_t ahead = index + rehash_prefetch_distance;
        if (ahead < old_tags.size() && old_tags[ahead] != empty_tag) arena_.prefetch(old_slots[ahead] - 1);
        if (old_tags[index] == empty_tag) continue;
        const NonceArena::Entry entry = arena_.entry(old_slots[index] - 1);
        const std::uint64_t hash = hints_cover_index && entry.hint ? *entry.hint : siphash13(hash_key_, entry.key);
        const std::size_t new_index = first_empty_slot(hash);
        tags_[new_index] = old_tags[index];
        slots_[new_index] = old_slots[index];
    }
}

}  // namespace veltrix
