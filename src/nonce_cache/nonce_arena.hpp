#pragma once
// Append-only storage for the nonce set's keys. Entries are addressed by a
// 32-bit unit number (a unit is 4 bytes) so that a hash slot costs 4 bytes
// rather than a pointer plus a heap block per key.
//
// A short key's header is one 4-byte unit: the length in its low byte and a
// 24-bit hint of the owner's choosing above it, so the hint costs no memory.
// A long key has a length byte of all ones, no hint, and two more header units
// holding its 64-bit length, so a key of any length can be stored.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

namespace veltrix {

class NonceArena {
  public:
    static constexpr std::size_t unit_bytes = 4;
    static constexpr unsigned units_per_chunk_log2 = 18;
    static constexpr std::uint64_t units_per_chunk = std::uint64_t{1} << units_per_chunk_log2;
    static constexpr std::size_t chunk_bytes = units_per_chunk * unit_bytes;  // 1 MiB

    static constexpr unsigned hint_bits = 24;
    static constexpr std::size_t short_key_limit = 255;  // longer keys carry no hint
    static constexpr std::size_t long_header_bytes = 3 * unit_bytes;

    // One unit short of 2^32, so that every unit number plus one (the slot
    // encoding of the nonce set) still fits 32 bits. Shared chunks use their
    // units one for one and an entry larger than a chunk takes one chunk's
    // units whatever its size, so the units run out only after at least
    // 8 GiB of keys.
    static constexpr std::uint64_t max_units = 0xFFFF'FFFF;

    struct Entry {
        std::string_view key;
        std::optional<std::uint32_t> hint;
    };

    // `unit_limit` below max_units only lets tests reach the end of the unit space.
    explicit NonceArena(std::uint64_t unit_limit = max_units) noexcept : unit_limit_(unit_limit) {}

    // Copies `bytes` in, with the low hint_bits of `hint` if the key is short,
    // and returns the entry's first unit; or stores nothing and returns nullopt
    // when the unit space cannot address another entry of this size.
    std::optional<std::uint32_t> store(std::string_view bytes, std::uint32_t hint);

    Entry entry(std::uint32_t first_unit) const noexcept {
        const std::byte* const start = address_of(first_unit);
        const Header header = read<Header>(start);
        const Header length = header & length_byte_mask;
        if (length != long_key_length_byte) {
            return {{reinterpret_cast<const char*>(start + unit_bytes), length}, header >> length_byte_bits};
        }
        return {{reinterpret_cast<const char*>(start + long_header_bytes), read<LongLength>(start + unit_bytes)},
                std::nullopt};
    }

    // Starts loading an entry's header that will be read shortly.
    void prefetch(std::uint32_t first_unit) const noexcept { __builtin_prefetch(address_of(first_unit)); }

    // Releases every chunk; units handed out before are invalid afterwards.
    void clear() noexcept;

  private:
    using Header = std::uint32_t;
    using LongLength = std::uint64_t;
    using Chunk = std::unique_ptr<std::byte[]>;
    static_assert(sizeof(Header) == unit_bytes);
    static_assert(long_header_bytes == sizeof(Header) + sizeof(LongLength));

    static constexpr unsigned length_byte_bits = 8;
    static constexpr Header length_byte_mask = (Header{1} << length_byte_bits) - 1;
    static constexpr Header long_key_length_byte = length_byte_mask;
    static_assert(short_key_limit == long_key_length_byte);
    static_assert(hint_bits + length_byte_bits == 8 * sizeof(Header));

    // Header units are only 4-byte aligned, so they are copied out, not dereferenced.
    template <class T>
    static T read(const std::byte* source) noexcept {
        T value;
        std::memcpy(&value, source, sizeof value);
        return value;
    }

    std::byte* address_of(std::uint64_t unit) const noexcept {
        return chunks_[unit >> units_per_chunk_log2].get() + (unit & (units_per_chunk - 1)) * unit_bytes;
    }

    static void write_entry(std::byte* destination, std::string_view bytes, Header hint) noexcept;
    std::optional<std::uint32_t> store_in_shared_chunk(std::string_view bytes, Header hint, std::uint64_t units);
    std::optional<std::uint32_t> store_in_own_allocation(std::string_view bytes, Header hint);
    std::uint64_t next_chunk_start() const noexcept;

    // An entry larger than a chunk is an allocation of its own at one chunk index.
    std::vector<Chunk> chunks_;
    std::uint64_t used_units_ = 0;  // units up to the end of the last entry
    std::uint64_t unit_limit_;
};

}  // namespace veltrix
