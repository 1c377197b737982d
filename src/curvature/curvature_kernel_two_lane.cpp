// SSE2 is part of the x86-64 baseline, so this kernel needs no feature test.

#if defined(__x86_64__)

#include <emmintrin.h>

#include "curvature/curvature_kernels.hpp"

namespace veltrix {

namespace {

constexpr std::size_t kLanes = 2;

// Lanes [previous[1], current[0]]: the element before each of `current` in its
// series, the first one carried over from the last block.
__m128d predecessors(__m128d previous, __m128d current) { return _mm_shuffle_pd(previous, current, 0b01); }

// The ordered comparison is false for NaN, which therefore takes the floor too.
// SSE2 has no blend, so the mask selects bitwise.
__m128d floored_time_steps(__m128d steps) {
    const __m128d min_step = _mm_set1_pd(kMinTimeStepMs);
    const __m128d above = _mm_cmpgt_pd(steps, min_step);
    return _mm_or_pd(_mm_and_pd(above, steps), _mm_andnot_pd(above, min_step));
}

__m128d mean_time_steps(__m128d earlier, __m128d later) {
    return _mm_mul_pd(_mm_add_pd(earlier, later), _mm_set1_pd(0.5));
}

__m128d rates_of_change(__m128d earlier, __m128d later, __m128d time_steps) {
    return _mm_div_pd(_mm_sub_pd(later, earlier), time_steps);
}

// Separate multiply and add instructions keep the rounding of curvature_at.
__m128d curvatures(__m128d vx, __m128d vy, __m128d ax, __m128d ay) {
    const __m128d speed_squared =
        _mm_add_pd(_mm_add_pd(_mm_mul_pd(vx, vx), _mm_mul_pd(vy, vy)), _mm_set1_pd(kCurvatureSpeedSquaredFloor));
    const __m128d cross = _mm_sub_pd(_mm_mul_pd(vx, ay), _mm_mul_pd(vy, ax));
    const __m128d denominator = _mm_mul_pd(speed_squared, _mm_sqrt_pd(speed_squared));
    return _mm_div_pd(_mm_andnot_pd(_mm_set1_pd(-0.0), cross), denominator);
}

// One lane at a time, so the sum sees its terms in index order. The scalar add
// instruction keeps the running total as its first operand, which is the NaN
// x86 returns when both are NaN, as in the scalar kernel; a plain `+` would let
// the compiler swap the operands of this commutative addition.
double add_in_lane_order(double total, __m128d values) {
    __m128d sum = _mm_set_sd(total);
    sum = _mm_add_sd(sum, values);
    sum = _mm_add_sd(sum, _mm_unpackhi_pd(values, values));
    return _mm_cvtsd_f64(sum);
}

}  // namespace

// Each block of segments i, i + 1 also completes interior elements i - 1, i and
// rate elements i - 2, i - 1, exactly as evaluate_segment would.
CurvatureSums curvature_kernel_two_lane(PathSamples path, CurvatureSeries series) {
    CurvatureSums sums;
    const std::size_t segments = path.samples - 1;
    std::size_t i = 0;
    for (; i < kSegmentsWithoutFullHistory; ++i) {
        evaluate_segment(path, series, sums, i);
    }
    // Only the last lane of each carries over, as the predecessor of the next block.
    __m128d previous_dt = _mm_set1_pd(series.dt[i - 1]);
    __m128d previous_vx = _mm_set1_pd(series.vx[i - 1]);
    __m128d previous_vy = _mm_set1_pd(series.vy[i - 1]);
    __m128d previous_curvature = _mm_set1_pd(series.curvature[i - 2]);
    for (; i + kLanes <= segments; i += kLanes) {
        const std::size_t j = i - 1;
        const std::size_t k = i - 2;
        const __m128d dt = floored_time_steps(_mm_sub_pd(_mm_loadu_pd(path.t + i + 1), _mm_loadu_pd(path.t + i)));
        const __m128d vx = rates_of_change(_mm_loadu_pd(path.x + i), _mm_loadu_pd(path.x + i + 1), dt);
        const __m128d vy = rates_of_change(_mm_loadu_pd(path.y + i), _mm_loadu_pd(path.y + i + 1), dt);
        const __m128d dtm = mean_time_steps(predecessors(previous_dt, dt), dt);
        const __m128d ax = rates_of_change(predecessors(previous_vx, vx), vx, dtm);
        const __m128d ay = rates_of_change(predecessors(previous_vy, vy), vy, dtm);
        const __m128d curvature = curvatures(vx, vy, ax, ay);
        const __m128d rate =
            rates_of_change(predecessors(previous_curvature, curvature), curvature, floored_time_steps(dtm));
        _mm_storeu_pd(series.dt.data() + i, dt);
        _mm_storeu_pd(series.vx.data() + i, vx);
        _mm_storeu_pd(series.vy.data() + i, vy);
        _mm_storeu_pd(series.dtm.data() + j, dtm);
        _mm_storeu_pd(series.ax.data() + j, ax);
        _mm_storeu_pd(series.ay.data() + j, ay);
        _mm_storeu_pd(series.curvature.data() + j, curvature);
        _mm_storeu_pd(series.rate.data() + k, rate);
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
