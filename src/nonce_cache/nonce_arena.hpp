#pragma once
// Append-only storage for the nonce set's keys. Entries are addressed by a
// 32-bit unit number (a unit is 4 bytes) so that a hash slot costs 4 bytes
// rather than a pointer plus a heap block per key.
//
// A short key's header is one 4-byte unit: the length in its low byte and a
// 24-bit hint of the owner's choosing above it, so the hint costs no memory.
// A long key has a length byte of all ones, no hint, and a second header unit
// holding its length.

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
    static constexpr std::size_t long_header_bytes = 2 * unit_bytes;

    struct Entry {
        std::string_view key;
        std::optional<std::uint32_t> hint;
    };

    // Copies `bytes` in, with the low hint_bits of `hint` if the key is short,
    // and returns the entry's first unit. Ends like memory exhaustion
    // (std::bad_alloc) once the 32-bit unit space would overflow.
    std::uint32_t store(std::string_view bytes, std::uint32_t hint);

    Entry entry(std::uint32_t first_unit) const noexcept {
        const std::byte* const start = address_of(first_unit);
        const Header header = read_unit(start);
        const Header length = header & length_byte_mask;
        if (length != long_key_length_byte) {
            return {{reinterpret_cast<const char*>(start + unit_bytes), length}, header >> length_byte_bits};
        }
        return {{reinterpret_cast<const char*>(start + long_header_bytes), read_unit(start + unit_bytes)},
                std::nullopt};
    }

    // Starts loading an entry's header that will be read shortly.
    void prefetch(std::uint32_t first_unit) const noexcept { __builtin_prefetch(address_of(first_unit)); }

    // Releases every chunk; units handed out before are invalid afterwards.
    void clear() noexcept;

  private:
    using Header = std::uint32_t;
    using Chunk = std::unique_ptr<std::byte[]>;
    static_assert(sizeof(Header) == unit_bytes);

    static constexpr unsigned length_byte_bits = 8;
    static constexpr Header length_byte_mask = (Header{1} << length_byte_bits) - 1;
    static constexpr Header long_key_length_byte = length_byte_mask;
    static_assert(short_key_limit == long_key_length_byte);
    static_assert(hint_bits + length_byte_bits == 8 * sizeof(Header));

    static Header read_unit(const std::byte* source) noexcept {
        Header value = 0;
        std::memcpy(&value, source, sizeof value);
        return value;
    }

    std::byte* address_of(std::uint64_t unit) const noexcept {
        return chunks_[unit >> units_per_chunk_log2].get() + (unit & (units_per_chunk - 1)) * unit_bytes;
    }

    static void write_entry(std::byte* destination, std::string_view bytes, Header hint) noexcept;
    std::uint32_t store_in_shared_chunk(std::string_view bytes, Header hint, std::uint64_t units);
    std::uint32_t store_in_own_allocation(std::string_view bytes, Header hint, std::uint64_t units);
    std::uint64_t next_chunk_start() const noexcept;

    // A chunk index past the end of an oversized entry holds a null placeholder,
    // so unit numbers keep mapping to chunk indices by a shift.
    std::vector<Chunk> chunks_;
    std::uint64_t used_units_ = 0;  // units up to the end of the last entry
};

}  // namespace veltrix
