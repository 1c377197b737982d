#include <array>

#include "curvature/curvature_kernels.hpp"

namespace veltrix {

namespace {

#if defined(__x86_64__)
bool processor_supports_avx2() {
    // Also covers callers that run before the runtime has probed the processor.
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
}
#endif

}  // namespace

std::span<const NamedCurvatureKernel> supported_curvature_kernels() {
    static constexpr std::array kBuiltKernels {
        NamedCurvatureKernel{"scalar", curvature_kernel_scalar},
            NamedCurvatureKernel{"portable_two_lane", curvature_kernel_portable_two_lane},
#if defined(__x86_64__)
            NamedCurvatureKernel{"two_lane", curvature_kernel_two_lane},
            NamedCurvatureKernel{"four_lane", curvature_kernel_four_lane},
#endif
    };
    static const std::size_t supported_count = [] {
#if defined(__x86_64__)
        if (!processor_supports_avx2()) {
            return kBuiltKernels.size() - 1;  // without the four-lane kernel, listed last
        }
#endif
        return kBuiltKernels.size();
    }();
    return std::span(kBuiltKernels).first(supported_count);
}

CurvatureKernel active_curvature_kernel() {
    static const CurvatureKernel preferred = supported_curvature_kernels().back().run;
    return preferred;
}

}  // namespace veltrix
