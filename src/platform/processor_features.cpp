#include "platform/processor_features.hpp"

namespace veltrix {

bool processor_supports_avx2() noexcept {
#if defined(__x86_64__)
    static const bool supported = [] {
        // Also covers callers that run before the runtime has probed the processor.
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return supported;
#else
    return false;
#endif
}

}  // namespace veltrix
