// AVX2 code lives only in functions compiled for that target alone, so the
// rest of the library still runs on any x86-64 processor.

#if defined(__x86_64__)

#include <immintrin.h>

#include "curvature/curvature_kernels.hpp"

namespace veltrix {

namespace {

constexpr std::size_t kLanes = 4;

// Lanes [previous[3], current[0], current[1], current[2]]: the element before
// each of `current` in its series, the first one carried over from the last block.
__attribute__((target("avx2"))) __m256d predecessors(__m256d previous, __m256d current) {
    const __m256d straddle = _mm256_permute2f128_pd(previous, current, 0x21);
    return _mm256_shuffle_pd(straddle, current, 0b0101);
}

// The ordered comparison is false for NaN, which therefore takes the floor too.
__attribute__((target("avx2"))) __m256d floored_time_steps(__m256d steps) {
    const __m256d min_step = _mm256_set1_pd(kMinTimeStepMs);
    return _mm256_blendv_pd(min_step, steps, _mm256_cmp_pd(steps, min_step, _CMP_GT_OQ));
}

__attribute__((target("avx2"))) __m256d mean_time_steps(__m256d earlier, __m256d later) {
    return _mm256_mul_pd(_mm256_add_pd(earlier, later), _mm256_set1_pd(0.5));
}

__attribute__((target("avx2"))) __m256d rates_of_change(__m256d earlier, __m256d later, __m256d time_steps) {
    return _mm256_div_pd(_mm256_sub_pd(later, earlier), time_steps);
}

// Separate multiply and add instructions (no FMA) keep the rounding of curvature_at.
__attribute__((target("avx2"))) __m256d curvatures(__m256d vx, __m256d vy, __m256d ax, __m256d ay) {
    const __m256d speed_squared = _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(vx, vx), _mm256_mul_pd(vy, vy)),
                                                _mm256_set1_pd(kCurvatureSpeedSquaredFloor));
    const __m256d cross = _mm256_sub_pd(_mm256_mul_pd(vx, ay), _mm256_mul_pd(vy, ax));
    const __m256d denominator = _mm256_mul_pd(speed_squared, _mm256_sqrt_pd(speed_squared));
    return _mm256_div_pd(_mm256_andnot_pd(_mm256_set1_pd(-0.0), cross), denominator);
}

// One lane at a time, so the sum sees its terms in index order. The scalar add
// instruction keeps the running total as its first operand, which is the NaN
// x86 returns when both are NaN, as in the scalar kernel; a plain `+` would let
// the compiler swap the operands of this commutative addition.
__attribute__((target("avx2"))) double add_in_lane_order(double total, __m256d values) {
    const __m128d low = _mm256_castpd256_pd128(values);
    const __m128d high = _mm256_extractf128_pd(values, 1);
    __m128d sum = _mm_set_sd(total);
    sum = _mm_add_sd(sum, low);
    sum = _mm_add_sd(sum, _mm_unpackhi_pd(low, low));
    sum = _mm_add_sd(sum, high);
    sum = _mm_add_sd(sum, _mm_unpackhi_pd(high, high));
    return _mm_cvtsd_f64(sum);
}

}  // namespace

// Each block of segments i .. i + 3 also completes interior elements i - 1 .. i + 2
// and rate elements i - 2 .. i + 1, exactly as evaluate_segment would.
__attribute__((target("avx2"))) CurvatureSums curvature_kernel_four_lane(PathSamples path, CurvatureSeries series) {
    CurvatureSums sums;
    const std::size_t segments = path.samples - 1;
    std::size_t i = 0;
    for (; i < kSegmentsWithoutFullHistory; ++i) {
        evaluate_segment(path, series, sums, i);
    }
    // Only the last lane of each carries over, as the predecessor of the next block.
    __m256d previous_dt = _mm256_set1_pd(series.dt[i - 1]);
    __m256d previous_vx = _mm256_set1_pd(series.vx[i - 1]);
    __m256d previous_vy = _mm256_set1_pd(series.vy[i - 1]);
    __m256d previous_curvature = _mm256_set1_pd(series.curvature[i - 2]);
    for (; i + kLanes <= segments; i += kLanes) {
        const std::size_t j = i - 1;
        const std::size_t k = i - 2;
        const __m256d dt =
            floored_time_steps(_mm256_sub_pd(_mm256_loadu_pd(path.t + i + 1), _mm256_loadu_pd(path.t + i)));
        const __m256d vx = rates_of_change(_mm256_loadu_pd(path.x + i), _mm256_loadu_pd(path.x + i + 1), dt);
        const __m256d vy = rates_of_change(_mm256_loadu_pd(path.y + i), _mm256_loadu_pd(path.y + i + 1), dt);
        const __m256d dtm = mean_time_steps(predecessors(previous_dt, dt), dt);
        const __m256d ax = rates_of_change(predecessors(previous_vx, vx), vx, dtm);
        const __m256d ay = rates_of_change(predecessors(previous_vy, vy), vy, dtm);
        const __m256d curvature = curvatures(vx, vy, ax, ay);
        const __m256d rate =
            rates_of_change(predecessors(previous_curvature, curvature), curvature, floored_time_steps(dtm));
        _mm256_storeu_pd(series.dt.data() + i, dt);
        _mm256_storeu_pd(series.vx.data() + i, vx);
        _mm256_storeu_pd(series.vy.data() + i, vy);
        _mm256_storeu_pd(series.dtm.data() + j, dtm);
        _mm256_storeu_pd(series.ax.data() + j, ax);
        _mm256_storeu_pd(series.ay.data() + j, ay);
        _mm256_storeu_pd(series.curvature.data() + j, curvature);
        _mm256_storeu_pd(series.rate.data() + k, rate);
        sums.curvature = add_in_lane_order(sums.curvature, curvature);
        sums.rate = add_in_lane_order(sums.rate, rate);
        previous_dt = dt;
        previous_vx = vx;
        previous_vy = vy;
        previous_curvature = curvature;
    }
    for (; i < segments; ++i) {
        evaluate_segment(path, series, sums, i);
    }
    return sums;
}

}  // namespace veltrix

#endif
