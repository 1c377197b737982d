#pragma once
// Append-only storage for the nonce set's keys. Entries are addressed by a
// 32-bit unit number (a unit is 4 bytes) so that a hash slot costs 4 bytes
// rather than a pointer plus a heap block per key.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

namespace veltrix {

class NonceArena {
public:
    static constexpr std::size_t unit_bytes = 4;
    static constexpr unsigned units_per_chunk_log2 = 18;
    static constexpr std::uint64_t units_per_chunk = std::uint64_t{1} << units_per_chunk_log2;
    static constexpr std::size_t chunk_bytes = units_per_chunk * unit_bytes;  // 1 MiB

    // Copies `bytes` in and returns the entry's first unit. Ends like memory
    // exhaustion (std::bad_alloc) once the 32-bit unit space would overflow.
    std::uint32_t store(std::string_view bytes);

    std::string_view entry(std::uint32_t first_unit) const noexcept;

    // Calls visit(first_unit, bytes) for every entry in storage order. The walk
    // is sequential, so rebuilding an index from it stays cache-friendly.
    template <class Visit>
    void for_each_entry(Visit&& visit) const {
        for (std::uint64_t unit = 0; unit < used_units_; unit = unit_after(unit)) {
            const auto first_unit = static_cast<std::uint32_t>(unit);
            visit(first_unit, entry(first_unit));
        }
    }

    // Releases every chunk; units handed out before are invalid afterwards.
    void clear() noexcept;

private:
    using Chunk = std::unique_ptr<std::byte[]>;

    std::uint32_t store_in_shared_chunk(std::string_view bytes, std::uint64_t units);
    std::uint32_t store_in_own_allocation(std::string_view bytes, std::uint64_t units);
    std::uint64_t next_chunk_start() const noexcept;
    std::byte* address_of(std::uint64_t unit) const noexcept;
    void mark_end_of_last_chunk() noexcept;
    std::uint64_t unit_after(std::uint64_t first_unit) const noexcept;

    // A chunk index past the end of an oversized entry holds a null placeholder,
    // so unit numbers keep mapping to chunk indices by a shift.
    std::vector<Chunk> chunks_;
    std::uint64_t used_units_ = 0;  // units up to the end of the last entry
};

}  // namespace veltrix
