#pragma once
// Curvature kernels: fill every working series of a path of at least four
// samples, as repeated evaluate_segment calls over all segments would, and
// return the sums of the curvature and rate series. Each is the one block loop
// of curvature_kernel_body.hpp compiled for an instruction set; all produce
// bit-identical series and sums and differ only in how many lanes they use.

#include <span>
#include <string_view>

#include "curvature/curvature_series.hpp"

namespace veltrix {

// By value: no store into a series can alias the kernel's own copies of the
// pointers, so they stay in registers instead of being reloaded after every store.
using CurvatureKernel = CurvatureSums (*)(PathSamples path, CurvatureSeries series);

// The compiler's generic vectors, built on every target; the active kernel
// wherever no instruction-set kernel exists.
CurvatureSums curvature_kernel_generic(PathSamples path, CurvatureSeries series);

#if defined(__x86_64__)
CurvatureSums curvature_kernel_sse2(PathSamples path, CurvatureSeries series);

// Only callable on processors that report AVX2.
CurvatureSums curvature_kernel_avx2(PathSamples path, CurvatureSeries series);
#endif

struct NamedCurvatureKernel {
    std::string_view name;
    CurvatureKernel run;
};

// Every kernel this processor can run, least preferred first: narrowest first
// and, at equal width, the generic kernel before an instruction-set one.
std::span<const NamedCurvatureKernel> supported_curvature_kernels();

// The most preferred supported kernel, chosen on first use and kept for the process.
CurvatureKernel active_curvature_kernel();

}  // namespace veltrix
