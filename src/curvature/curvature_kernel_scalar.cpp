#include "curvature/curvature_element.hpp"
#include "curvature/curvature_kernels.hpp"

namespace veltrix {

void curvature_kernel_scalar(const double* vx, const double* vy, const double* ax,
                             const double* ay, double* kappa, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        kappa[i] = curvature_at(vx[i], vy[i], ax[i], ay[i]);
    }
}

}  // namespace veltrix
