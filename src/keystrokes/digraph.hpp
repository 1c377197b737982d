#pragma once
// Two consecutive typed characters, packed into one small integer.

#include <cstddef>
#include <cstdint>

namespace veltrix {

// Two ASCII characters, the earlier key in the high bits, so numeric order of
// digraphs is the byte order of their two-character texts.
using Digraph = std::uint16_t;

inline constexpr unsigned kAsciiBits = 7;
inline constexpr std::size_t kDigraphCount = std::size_t{1} << (2 * kAsciiBits);

// Both characters must be ASCII, as every lowered key that forms a digraph is.
constexpr Digraph make_digraph(char earlier, char later) {
    return static_cast<Digraph>(static_cast<unsigned>(earlier) << kAsciiBits | static_cast<unsigned>(later));
}

}  // namespace veltrix
