#pragma once
// Curvature kernels: fill every working series of a path of at least four
// samples, as repeated evaluate_segment calls over all segments would, and
// return the sums of the curvature and rate series. All kernels produce
// bit-identical series and sums; they differ only in how many lanes they use.

#include <span>
#include <string_view>

#include "curvature/curvature_series.hpp"

namespace veltrix {

// By value: no store into a series can alias the kernel's own copies of the
// pointers, so they stay in registers instead of being reloaded after every store.
using CurvatureKernel = CurvatureSums (*)(PathSamples path, CurvatureSeries series);

CurvatureSums curvature_kernel_scalar(PathSamples path, CurvatureSeries series);

// Generic compiler vectors, built on every target; the active kernel wherever
// no instruction-set kernel exists.
CurvatureSums curvature_kernel_portable_two_lane(PathSamples path, CurvatureSeries series);

#if defined(__x86_64__)
// SSE2, which every x86-64 processor has.
CurvatureSums curvature_kernel_two_lane(PathSamples path, CurvatureSeries series);

// Only callable on processors that report AVX2.
CurvatureSums curvature_kernel_four_lane(PathSamples path, CurvatureSeries series);
#endif

struct NamedCurvatureKernel {
    std::string_view name;
    CurvatureKernel run;
};

// Every kernel this processor can run, least preferred first: narrowest first
// and, at equal width, the portable kernel before an instruction-set one.
std::span<const NamedCurvatureKernel> supported_curvature_kernels();

// The most preferred supported kernel, chosen on first use and kept for the process.
CurvatureKernel active_curvature_kernel();

}  // namespace veltrix
