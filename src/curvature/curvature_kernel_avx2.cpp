// The curvature kernel four lanes at a time, for processors that report AVX2.

#if defined(__x86_64__)

#include <immintrin.h>

#include "curvature/curvature_kernels.hpp"

#define VELTRIX_KERNEL_TARGET __attribute__((target("avx2")))

namespace veltrix {
namespace {

struct Avx2Lanes {
    using Vector = __m256d;
    using Bits = __m256i;
    static constexpr std::size_t kWidth = 4;

    VELTRIX_KERNEL_TARGET static Vector broadcast(double value) { return _mm256_set1_pd(value); }

    // Lanes [previous[3], current[0], current[1], current[2]]: the element before
    // each of `current` in its series.
    VELTRIX_KERNEL_TARGET static Vector predecessors(Vector previous, Vector current) {
        const Vector straddle = _mm256_permute2f128_pd(previous, current, 0x21);
        return _mm256_shuffle_pd(straddle, current, 0b0101);
    }

    VELTRIX_KERNEL_TARGET static Vector square_roots(Vector values) { return _mm256_sqrt_pd(values); }

    // One lane at a time, so the sum sees its terms in index order. The scalar
    // add instruction keeps the running total as its first operand, which is
    // the NaN x86 returns when both are NaN, as in evaluate_segment; a plain `+`
    // would let the compiler swap the operands of this commutative addition.
    VELTRIX_KERNEL_TARGET static double add_in_lane_order(double total, Vector values) {
        const __m128d low = _mm256_castpd256_pd128(values);
        const __m128d high = _mm256_extractf128_pd(values, 1);
        __m128d sum = _mm_set_sd(total);
        sum = _mm_add_sd(sum, low);
        sum = _mm_add_sd(sum, _mm_unpackhi_pd(low, low));
        sum = _mm_add_sd(sum, high);
        sum = _mm_add_sd(sum, _mm_unpackhi_pd(high, high));
        return _mm_cvtsd_f64(sum);
    }
};

}  // namespace
}  // namespace veltrix

#include "curvature/curvature_kernel_body.hpp"

namespace veltrix {

VELTRIX_KERNEL_TARGET CurvatureSums curvature_kernel_avx2(PathSamples path, CurvatureSeries series) {
    return CurvatureBlocks<Avx2Lanes>::run(path, series);
}

}  // namespace veltrix

#endif
