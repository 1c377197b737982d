#include "keystrokes/common_digraphs.hpp"

#include <algorithm>

namespace veltrix {

static_assert(std::ranges::is_sorted(COMMON_DIGRAPHS), "binary search needs byte order");

bool is_common_digraph(std::string_view digraph) {
    return std::ranges::binary_search(COMMON_DIGRAPHS, digraph);
}

}  // namespace veltrix
