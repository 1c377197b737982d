#include "keystrokes/common_digraphs.hpp"

#include <cstddef>
#include <cstdint>

namespace veltrix {
namespace {

constexpr std::size_t kWordBits = 64;

// One bit per possible digraph, so membership costs a shift instead of a search.
constexpr std::array<std::uint64_t, kDigraphCount / kWordBits> kCommonDigraphBits = [] {
    std::array<std::uint64_t, kDigraphCount / kWordBits> bits{};
    for (const std::string_view text : COMMON_DIGRAPHS) {
        const Digraph digraph = make_digraph(text[0], text[1]);
        bits[digraph / kWordBits] |= std::uint64_t{1} << (digraph % kWordBits);
    }
    return bits;
}();

}  // namespace

bool is_common_digraph(Digraph digraph) {
    return ((kCommonDigraphBits[digraph / kWordBits] >> (digraph % kWordBits)) & 1U) != 0;
}

}  // namespace veltrix
