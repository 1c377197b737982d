#include "kinematics/power_spectrum_kernels.hpp"

namespace veltrix {

PowerSpectrumKernel active_power_spectrum_kernel() {
    static const PowerSpectrumKernel widest = []() -> PowerSpectrumKernel {
#if defined(__x86_64__)
        // Also covers callers that run before the runtime has probed the processor.
        __builtin_cpu_init();
        if (__builtin_cpu_supports("avx2") != 0) {
            return power_spectrum_kernel_four_lane;
        }
#endif
        return power_spectrum_kernel_scalar;
    }();
    return widest;
}

}  // namespace veltrix
