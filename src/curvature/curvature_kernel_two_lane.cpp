#include "curvature/curvature_element.hpp"
#include "curvature/curvature_kernels.hpp"

#if defined(__x86_64__)
#include <emmintrin.h>
#endif

namespace veltrix {

namespace {
constexpr std::size_t kLanes = 2;
}  // namespace

#if defined(__x86_64__)

// SSE2 is part of the x86-64 baseline, so this needs no feature test. Separate
// multiply and add instructions keep the rounding of curvature_at.
void curvature_kernel_two_lane(const double* vx, const double* vy, const double* ax,
                               const double* ay, double* kappa, std::size_t count) {
    const __m128d speed_floor = _mm_set1_pd(kCurvatureSpeedSquaredFloor);
    const __m128d sign_bit = _mm_set1_pd(-0.0);
    std::size_t i = 0;
    for (; i + kLanes <= count; i += kLanes) {
        const __m128d vxl = _mm_loadu_pd(vx + i);
        const __m128d vyl = _mm_loadu_pd(vy + i);
        const __m128d axl = _mm_loadu_pd(ax + i);
        const __m128d ayl = _mm_loadu_pd(ay + i);
        const __m128d speed_squared =
            _mm_add_pd(_mm_add_pd(_mm_mul_pd(vxl, vxl), _mm_mul_pd(vyl, vyl)), speed_floor);
        const __m128d cross = _mm_sub_pd(_mm_mul_pd(vxl, ayl), _mm_mul_pd(vyl, axl));
        const __m128d denominator = _mm_mul_pd(speed_squared, _mm_sqrt_pd(speed_squared));
        _mm_storeu_pd(kappa + i, _mm_div_pd(_mm_andnot_pd(sign_bit, cross), denominator));
    }
    for (; i < count; ++i) {
        kappa[i] = curvature_at(vx[i], vy[i], ax[i], ay[i]);
    }
}

#else

// Without a known vector unit, two independent elements per iteration still let
// the compiler pair them up.
void curvature_kernel_two_lane(const double* vx, const double* vy, const double* ax,
                               const double* ay, double* kappa, std::size_t count) {
    std::size_t i = 0;
    for (; i + kLanes <= count; i += kLanes) {
        kappa[i] = curvature_at(vx[i], vy[i], ax[i], ay[i]);
        kappa[i + 1] = curvature_at(vx[i + 1], vy[i + 1], ax[i + 1], ay[i + 1]);
    }
    for (; i < count; ++i) {
        kappa[i] = curvature_at(vx[i], vy[i], ax[i], ay[i]);
    }
}

#endif

}  // namespace veltrix
