#pragma once
// Letter pairs frequent enough in ordinary text that people type them fastest.

#include <array>
#include <string_view>

#include "keystrokes/digraph.hpp"

namespace veltrix {

inline constexpr std::array<std::string_view, 39> COMMON_DIGRAPHS = {
    "ak", "al", "an", "ar", "as", "at", "ba", "de", "ea", "ed", "el", "en", "er",
    "es", "ha", "he", "ik", "in", "io", "is", "it", "ka", "la", "le", "ma", "me",
    "nd", "nt", "of", "on", "or", "ou", "re", "rt", "st", "th", "ti", "to", "ve",
};

// Exact comparison: callers pass digraphs of already lowercased keys.
bool is_common_digraph(Digraph digraph);

}  // namespace veltrix
