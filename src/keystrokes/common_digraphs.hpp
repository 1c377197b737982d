#pragma once
// Letter pairs frequent enough in ordinary text that people type them fastest.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "keystrokes/digraph.hpp"

namespace veltrix {

inline constexpr std::array<std::string_view, 39> COMMON_DIGRAPHS = {
    "ak", "al", "an", "ar", "as", "at", "ba", "de", "ea", "ed", "el", "en", "er",
    "es", "ha", "he", "ik", "in", "io", "is", "it", "ka", "la", "le", "ma", "me",
    "nd", "nt", "of", "on", "or", "ou", "re", "rt", "st", "th", "ti", "to", "ve",
};

namespace common_digraph_detail {

inline constexpr std::size_t kWordBits = 64;

// One bit per possible digraph, so membership costs a shift instead of a search.
inline constexpr std::array<std::uint64_t, kDigraphCount / kWordBits> kBits = [] {
    std::array<std::uint64_t, kDigraphCount / kWordBits> bits{};
    for (const std::string_view text : COMMON_DIGRAPHS) {
        const Digraph digraph = make_digraph(text[0], text[1]);
        bits[digraph / kWordBits] |= std::uint64_t{1} << (digraph % kWordBits);
    }
    return bits;
}();

}  // namespace common_digraph_detail

// Exact comparison: callers pass digraphs of already lowercased keys. Inline:
// it runs once per typed pair.
inline bool is_common_digraph(Digraph digraph) {
    using common_digraph_detail::kBits;
    using common_digraph_detail::kWordBits;
    return ((kBits[digraph / kWordBits] >> (digraph % kWordBits)) & 1U) != 0;
}

}  // namespace veltrix
