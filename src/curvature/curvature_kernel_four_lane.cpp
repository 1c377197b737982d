// AVX2 code lives only in this function, compiled for that target alone, so the
// rest of the library still runs on any x86-64 processor.

#if defined(__x86_64__)

#include <immintrin.h>

#include "curvature/curvature_element.hpp"
#include "curvature/curvature_kernels.hpp"

namespace veltrix {

namespace {
constexpr std::size_t kLanes = 4;
}  // namespace

// Separate multiply and add instructions (no FMA) keep the rounding of curvature_at.
__attribute__((target("avx2"))) void curvature_kernel_four_lane(
    const double* vx, const double* vy, const double* ax, const double* ay, double* kappa,
    std::size_t count) {
    const __m256d speed_floor = _mm256_set1_pd(kCurvatureSpeedSquaredFloor);
    const __m256d sign_bit = _mm256_set1_pd(-0.0);
    std::size_t i = 0;
    for (; i + kLanes <= count; i += kLanes) {
        const __m256d vxl = _mm256_loadu_pd(vx + i);
        const __m256d vyl = _mm256_loadu_pd(vy + i);
        const __m256d axl = _mm256_loadu_pd(ax + i);
        const __m256d ayl = _mm256_loadu_pd(ay + i);
        const __m256d speed_squared = _mm256_add_pd(
            _mm256_add_pd(_mm256_mul_pd(vxl, vxl), _mm256_mul_pd(vyl, vyl)), speed_floor);
        const __m256d cross = _mm256_sub_pd(_mm256_mul_pd(vxl, ayl), _mm256_mul_pd(vyl, axl));
        const __m256d denominator =
            _mm256_mul_pd(speed_squared, _mm256_sqrt_pd(speed_squared));
        _mm256_storeu_pd(kappa + i,
                         _mm256_div_pd(_mm256_andnot_pd(sign_bit, cross), denominator));
    }
    for (; i < count; ++i) {
        kappa[i] = curvature_at(vx[i], vy[i], ax[i], ay[i]);
    }
}

}  // namespace veltrix

#endif
