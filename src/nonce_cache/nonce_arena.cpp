#include "nonce_cache/nonce_arena.hpp"

namespace veltrix {
namespace {

bool is_short(std::string_view bytes) noexcept { return bytes.size() < NonceArena::short_key_limit; }

std::size_t header_bytes(std::string_view bytes) noexcept {
    return is_short(bytes) ? NonceArena::unit_bytes : NonceArena::long_header_bytes;
}

std::uint64_t units_for_entry(std::string_view bytes) noexcept {
    const std::uint64_t entry_bytes = std::uint64_t{header_bytes(bytes)} + bytes.size();
    return (entry_bytes + NonceArena::unit_bytes - 1) / NonceArena::unit_bytes;
}

}  // namespace

std::optional<std::uint32_t> NonceArena::store(std::string_view bytes, std::uint32_t hint) {
    const std::uint64_t units = units_for_entry(bytes);
    return units <= units_per_chunk ? store_in_shared_chunk(bytes, hint, units) : store_in_own_allocation(bytes, hint);
}

void NonceArena::write_entry(std::byte* destination, std::string_view bytes, Header hint) noexcept {
    if (is_short(bytes)) {
        // The shift drops the hint bits that do not fit beside the length byte.
        const Header header = hint << length_byte_bits | static_cast<Header>(bytes.size());
        std::memcpy(destination, &header, sizeof header);
    } else {
        const LongLength length = bytes.size();
        std::memcpy(destination, &long_key_length_byte, sizeof long_key_length_byte);
        std::memcpy(destination + unit_bytes, &length, sizeof length);
    }
    if (!bytes.empty()) std::memcpy(destination + header_bytes(bytes), bytes.data(), bytes.size());
}

void NonceArena::clear() noexcept {
    chunks_.clear();
    used_units_ = 0;
}

std::optional<std::uint32_t> NonceArena::store_in_shared_chunk(std::string_view bytes, Header hint,
                                                               std::uint64_t units) {
    const bool fits_last_chunk = used_units_ + units <= next_chunk_start();
    const std::uint64_t first_unit = fits_last_chunk ? used_units_ : next_chunk_start();
    if (first_unit + units > unit_limit_) return std::nullopt;
    if (!fits_last_chunk) chunks_.push_back(std::make_unique_for_overwrite<std::byte[]>(chunk_bytes));
    write_entry(address_of(first_unit), bytes, hint);
    used_units_ = first_unit + units;
    return static_cast<std::uint32_t>(first_unit);
}

std::optional<std::uint32_t> NonceArena::store_in_own_allocation(std::string_view bytes, Header hint) {
    const std::uint64_t first_unit = next_chunk_start();
    if (first_unit + units_per_chunk > unit_limit_) return std::nullopt;
    Chunk allocation = std::make_unique_for_overwrite<std::byte[]>(header_bytes(bytes) + bytes.size());
    write_entry(allocation.get(), bytes, hint);
    chunks_.push_back(std::move(allocation));
    // The next entry starts a fresh chunk: nothing may share this allocation.
    used_units_ = next_chunk_start();
    return static_cast<std::uint32_t>(first_unit);
}

std::uint64_t NonceArena::next_chunk_start() const noexcept {
    return std::uint64_t{chunks_.size()} << units_per_chunk_log2;
}

}  // namespace veltrix
