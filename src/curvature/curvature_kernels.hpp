#pragma once
// Curvature kernels: kappa[i] = curvature_at(vx[i], vy[i], ax[i], ay[i]) for
// i < count. Callers pass the velocity of the later segment, so vx and vy start
// one element after the series that ax and ay were derived from. All kernels
// produce bit-identical output; they differ only in how many lanes they use.

#include <cstddef>
#include <span>
#include <string_view>

namespace veltrix {

using CurvatureKernel = void (*)(const double* vx, const double* vy, const double* ax,
                                 const double* ay, double* kappa, std::size_t count);

void curvature_kernel_scalar(const double* vx, const double* vy, const double* ax,
                             const double* ay, double* kappa, std::size_t count);

// SSE2 on x86-64, two elements per iteration in plain C++ elsewhere.
void curvature_kernel_two_lane(const double* vx, const double* vy, const double* ax,
                               const double* ay, double* kappa, std::size_t count);

#if defined(__x86_64__)
// Only callable on processors that report AVX2.
void curvature_kernel_four_lane(const double* vx, const double* vy, const double* ax,
                                const double* ay, double* kappa, std::size_t count);
#endif

struct NamedCurvatureKernel {
    std::string_view name;
    CurvatureKernel run;
};

// Every kernel this processor can run, narrowest first.
std::span<const NamedCurvatureKernel> supported_curvature_kernels();

// The widest supported kernel, chosen on first use and kept for the process.
CurvatureKernel active_curvature_kernel();

}  // namespace veltrix
