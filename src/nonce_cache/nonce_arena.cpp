#include "nonce_cache/nonce_arena.hpp"

#include <cstring>
#include <limits>
#include <new>

namespace veltrix {
namespace {

using Length = std::uint32_t;
static_assert(sizeof(Length) == NonceArena::unit_bytes);

// Written where a shared chunk's entries stop short of its end. No entry in a
// shared chunk is that long, so the marker cannot be mistaken for a length.
constexpr Length end_of_chunk_marker = std::numeric_limits<Length>::max();
static_assert(end_of_chunk_marker > NonceArena::chunk_bytes);

// One unit short of 2^32 so that every unit number plus one (the slot encoding
// of the nonce set) still fits 32 bits.
constexpr std::uint64_t addressable_units = std::numeric_limits<std::uint32_t>::max();
constexpr std::uint64_t unit_in_chunk_mask = NonceArena::units_per_chunk - 1;

std::uint64_t units_for_entry(std::size_t key_bytes) noexcept {
    const std::uint64_t entry_bytes = std::uint64_t{sizeof(Length)} + key_bytes;
    return (entry_bytes + NonceArena::unit_bytes - 1) / NonceArena::unit_bytes;
}

std::uint64_t round_up_to_chunk(std::uint64_t unit) noexcept {
    return (unit + unit_in_chunk_mask) & ~unit_in_chunk_mask;
}

void require_addressable(std::uint64_t end_unit) {
    if (end_unit > addressable_units) throw std::bad_alloc();
}

void write_length(std::byte* destination, Length length) noexcept {
    std::memcpy(destination, &length, sizeof length);
}

Length read_length(const std::byte* source) noexcept {
    Length length = 0;
    std::memcpy(&length, source, sizeof length);
    return length;
}

void write_entry(std::byte* destination, std::string_view bytes) noexcept {
    write_length(destination, static_cast<Length>(bytes.size()));
    if (!bytes.empty()) std::memcpy(destination + sizeof(Length), bytes.data(), bytes.size());
}

}  // namespace

std::uint32_t NonceArena::store(std::string_view bytes) {
    if (bytes.size() > std::numeric_limits<Length>::max()) throw std::bad_alloc();
    const std::uint64_t units = units_for_entry(bytes.size());
    return units <= units_per_chunk ? store_in_shared_chunk(bytes, units)
                                    : store_in_own_allocation(bytes, units);
}

std::string_view NonceArena::entry(std::uint32_t first_unit) const noexcept {
    const std::byte* const start = address_of(first_unit);
    return {reinterpret_cast<const char*>(start + sizeof(Length)), read_length(start)};
}

void NonceArena::clear() noexcept {
    chunks_.clear();
    used_units_ = 0;
}

std::uint32_t NonceArena::store_in_shared_chunk(std::string_view bytes, std::uint64_t units) {
    const bool fits_last_chunk = used_units_ + units <= next_chunk_start();
    const std::uint64_t first_unit = fits_last_chunk ? used_units_ : next_chunk_start();
    require_addressable(first_unit + units);
    if (!fits_last_chunk) {
        mark_end_of_last_chunk();
        chunks_.push_back(std::make_unique_for_overwrite<std::byte[]>(chunk_bytes));
    }
    write_entry(address_of(first_unit), bytes);
    used_units_ = first_unit + units;
    return static_cast<std::uint32_t>(first_unit);
}

std::uint32_t NonceArena::store_in_own_allocation(std::string_view bytes, std::uint64_t units) {
    const std::uint64_t first_unit = next_chunk_start();
    const std::uint64_t end_unit = round_up_to_chunk(first_unit + units);
    require_addressable(end_unit);

    Chunk allocation = std::make_unique_for_overwrite<std::byte[]>(sizeof(Length) + bytes.size());
    write_entry(allocation.get(), bytes);
    mark_end_of_last_chunk();
    chunks_.push_back(std::move(allocation));
    chunks_.resize(end_unit >> units_per_chunk_log2);
    // The next entry starts a fresh chunk: nothing may share this allocation.
    used_units_ = end_unit;
    return static_cast<std::uint32_t>(first_unit);
}

std::uint64_t NonceArena::next_chunk_start() const noexcept {
    return std::uint64_t{chunks_.size()} << units_per_chunk_log2;
}

std::byte* NonceArena::address_of(std::uint64_t unit) const noexcept {
    return chunks_[unit >> units_per_chunk_log2].get() + (unit & unit_in_chunk_mask) * unit_bytes;
}

void NonceArena::mark_end_of_last_chunk() noexcept {
    if (used_units_ < next_chunk_start()) write_length(address_of(used_units_), end_of_chunk_marker);
}

std::uint64_t NonceArena::unit_after(std::uint64_t first_unit) const noexcept {
    const auto first = static_cast<std::uint32_t>(first_unit);
    const std::uint64_t next = first_unit + units_for_entry(entry(first).size());
    // An entry with an allocation of its own, or one that filled its chunk,
    // ends in a later chunk index: the walk resumes at the next chunk start.
    const bool same_chunk = (next >> units_per_chunk_log2) == (first_unit >> units_per_chunk_log2);
    const bool chunk_continues = same_chunk && next < used_units_ &&
                                 read_length(address_of(next)) != end_of_chunk_marker;
    return chunk_continues ? next : round_up_to_chunk(next);
}

}  // namespace veltrix
