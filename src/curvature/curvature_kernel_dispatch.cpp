#include <array>

#include "curvature/curvature_kernels.hpp"
#include "platform/processor_features.hpp"

namespace veltrix {

std::span<const NamedCurvatureKernel> supported_curvature_kernels() {
    static constexpr std::array kBuiltKernels {
        NamedCurvatureKernel{"generic", curvature_kernel_generic},
#if defined(__x86_64__)
            NamedCurvatureKernel{"sse2", curvature_kernel_sse2}, NamedCurvatureKernel{"avx2", curvature_kernel_avx2},
#endif
    };
    static const std::size_t supported_count = [] {
#if defined(__x86_64__)
        if (!processor_supports_avx2()) {
            return kBuiltKernels.size() - 1;  // without the AVX2 kernel, listed last
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
