#include "kinematics/power_spectrum_kernels.hpp"
#include "platform/processor_features.hpp"

namespace veltrix {

PowerSpectrumKernel active_power_spectrum_kernel() {
#if defined(__x86_64__)
    if (processor_supports_avx2()) return power_spectrum_kernel_avx2;
#endif
    return power_spectrum_kernel_generic;
}

}  // namespace veltrix
