#pragma once
// Insert-only set of byte strings holding one bucket of consumed nonces.
// Memory per entry matters most here: a slot is a 4-byte arena reference plus
// a 1-byte hash tag, and the key lives packed in the arena with no per-key heap
// block. The tags let a probe skip non-matching slots without touching the
// arena, which at seven-eighths load would otherwise cost a cache miss per step.

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "nonce_cache/nonce_arena.hpp"
#include "nonce_cache/siphash.hpp"

namespace veltrix {

enum class NonceCheck { fresh, replayed, bucket_full };

class NonceSet {
  public:
    static constexpr std::size_t initial_slot_count = 16384;

    explicit NonceSet(SipHashKey key);

    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    std::size_t slot_count() const noexcept { return tags_.size(); }

    bool contains(std::string_view key) const noexcept;

    // Fresh: the key is now stored. Replayed: an equal key was already there.
    // Bucket full: the arena cannot address another key this long; nothing stored.
    NonceCheck insert(std::string_view key);

    // Forgets every key but keeps the slot capacity and the hash key.
    void clear() noexcept;

  private:
    using Slot = std::uint32_t;  // first arena unit + 1
    using Tag = std::uint8_t;    // top hash byte, never 0; 0 marks an empty slot
    static constexpr Tag empty_tag = 0;

    struct Probe {
        std::size_t index;
        bool found;
    };

    static Tag tag_of(std::uint64_t hash) noexcept;
    Probe probe(std::string_view key, std::uint64_t hash) const noexcept;
    std::size_t first_empty_slot(std::uint64_t hash) const noexcept;
    void occupy(std::size_t index, std::uint64_t hash, Slot slot) noexcept;
    bool is_full() const noexcept;
    void double_capacity();
    std::string_view key_in(Slot slot) const noexcept { return arena_.entry(slot - 1).key; }

    SipHashKey hash_key_;
    // Parallel arrays of a power-of-two size, probed linearly.
    std::vector<Tag> tags_;
    std::vector<Slot> slots_;
    NonceArena arena_;
    std::size_t size_ = 0;
};

}  // namespace veltrix
