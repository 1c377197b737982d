#include "nonce_cache/nonce_arena.hpp"

#include <limits>
#include <new>

namespace veltrix {
namespace {

using Length = std::uint32_t;

// One unit short of 2^32 so that every unit number plus one (the slot encoding
// of the nonce set) still fits 32 bits.
constexpr std::uint64_t addressable_units = std::numeric_limits<std::uint32_t>::max();
constexpr std::uint64_t unit_in_chunk_mask = NonceArena::units_per_chunk - 1;

bool is_short(std::string_view bytes) noexcept { return bytes.size() < NonceArena::short_key_limit; }

std::size_t header_bytes(std::string_view bytes) noexcept {
    return is_short(bytes) ? NonceArena::unit_bytes : NonceArena::long_header_bytes;
}

std::uint64_t units_for_entry(std::string_view bytes) noexcept {
    const std::uint64_t entry_bytes = std::uint64_t{header_bytes(bytes)} + bytes.size();
    return (entry_bytes + NonceArena::unit_bytes - 1) / NonceArena::unit_bytes;
}

std::uint64_t round_up_to_chunk(std::uint64_t unit) noexcept {
    return (unit + unit_in_chunk_mask) & ~unit_in_chunk_mask;
}

void require_addressable(std::uint64_t end_unit) {
    if (end_unit > addressable_units) throw std::bad_alloc();
}

void write_unit(std::byte* destination, std::uint32_t value) noexcept {
    std::memcpy(destination, &value, sizeof value);
}

}  // namespace

std::uint32_t NonceArena::store(std::string_view bytes, std::uint32_t hint) {
    if (bytes.size() > std::numeric_limits<Length>::max()) throw std::bad_alloc();
    const std::uint64_t units = units_for_entry(bytes);
    return units <= units_per_chunk ? store_in_shared_chunk(bytes, hint, units)
                                    : store_in_own_allocation(bytes, hint, units);
}

void NonceArena::write_entry(std::byte* destination, std::string_view bytes, Header hint) noexcept {
    const auto length = static_cast<Length>(bytes.size());
    if (is_short(bytes)) {
        // The shift drops the hint bits that do not fit beside the length byte.
        write_unit(destination, hint << length_byte_bits | length);
    } else {
        write_unit(destination, long_key_length_byte);
        write_unit(destination + unit_bytes, length);
    }
    if (!bytes.empty()) std::memcpy(destination + header_bytes(bytes), bytes.data(), bytes.size());
}

void NonceArena::clear() noexcept {
    chunks_.clear();
    used_units_ = 0;
}

std::uint32_t NonceArena::store_in_shared_chunk(std::string_view bytes, Header hint, std::uint64_t units) {
    const bool fits_last_chunk = used_units_ + units <= next_chunk_start();
    const std::uint64_t first_unit = fits_last_chunk ? used_units_ : next_chunk_start();
    require_addressable(first_unit + units);
    if (!fits_last_chunk) chunks_.push_back(std::make_unique_for_overwrite<std::byte[]>(chunk_bytes));
    write_entry(address_of(first_unit), bytes, hint);
    used_units_ = first_unit + units;
    return static_cast<std::uint32_t>(first_unit);
}

std::uint32_t NonceArena::store_in_own_allocation(std::string_view bytes, Header hint, std::uint64_t units) {
    const std::uint64_t first_unit = next_chunk_start();
    const std::uint64_t end_unit = round_up_to_chunk(first_unit + units);
    require_addressable(end_unit);

    Chunk allocation = std::make_unique_for_overwrite<std::byte[]>(header_bytes(bytes) + bytes.size());
    write_entry(allocation.get(), bytes, hint);
    chunks_.push_back(std::move(allocation));
    chunks_.resize(end_unit >> units_per_chunk_log2);
    // The next entry starts a fresh chunk: nothing may share this allocation.
    used_units_ = end_unit;
    return static_cast<std::uint32_t>(first_unit);
}

std::uint64_t NonceArena::next_chunk_start() const noexcept {
    return std::uint64_t{chunks_.size()} << units_per_chunk_log2;
}

}  // namespace veltrix
