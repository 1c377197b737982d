#include "nonce_cache/process_failure.hpp"

#include <cstdio>
#include <cstdlib>

namespace veltrix {

void end_process(std::string_view diagnostic) noexcept {
    std::fprintf(stderr, "veltrix_core_rs: fatal: %.*s\n", static_cast<int>(diagnostic.size()), diagnostic.data());
    std::abort();
}

}  // namespace veltrix
