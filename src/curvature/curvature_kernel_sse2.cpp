// The curvature kernel two lanes at a time in SSE2, part of every x86-64
// processor, so it needs no feature test.

#if defined(__x86_64__)

#include <emmintrin.h>

#include "curvature/curvature_kernels.hpp"

#define VELTRIX_KERNEL_TARGET __attribute__((target("sse2")))

namespace veltrix {
namespace {

struct Sse2Lanes {
    using Vector = __m128d;
    using Bits = __m128i;
    static constexpr std::size_t kWidth = 2;

    VELTRIX_KERNEL_TARGET static Vector broadcast(double value) { return _mm_set1_pd(value); }

    // Lanes [previous[1], current[0]]: the element before each of `current` in its series.
    VELTRIX_KERNEL_TARGET static Vector predecessors(Vector previous, Vector current) {
        return _mm_shuffle_pd(previous, current, 0b01);
    }

    VELTRIX_KERNEL_TARGET static Vector square_roots(Vector values) { return _mm_sqrt_pd(values); }

    // One lane at a time, so the sum sees its terms in index order. The scalar
    // add instruction keeps the running total as its first operand, which is
    // the NaN x86 returns when both are NaN, as in evaluate_segment; a plain `+`
    // would let the compiler swap the operands of this commutative addition.
    VELTRIX_KERNEL_TARGET static double add_in_lane_order(double total, Vector values) {
        __m128d sum = _mm_set_sd(total);
        sum = _mm_add_sd(sum, values);
        sum = _mm_add_sd(sum, _mm_unpackhi_pd(values, values));
        return _mm_cvtsd_f64(sum);
    }
};

}  // namespace
}  // namespace veltrix

#include "curvature/curvature_kernel_body.hpp"

namespace veltrix {

VELTRIX_KERNEL_TARGET CurvatureSums curvature_kernel_sse2(PathSamples path, CurvatureSeries series) {
    return CurvatureBlocks<Sse2Lanes>::run(path, series);
}

}  // namespace veltrix

#endif
