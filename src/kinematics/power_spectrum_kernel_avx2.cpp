// AVX2 code lives only in this file's functions, compiled for that target alone,
// so the rest of the library still runs on any x86-64 processor.

#if defined(__x86_64__)

#include <immintrin.h>

#include "kinematics/power_spectrum_kernels.hpp"

namespace veltrix {

namespace {

// Four groups keep eight independent add chains in flight, enough to hide the
// latency of the adds while each chain still sums its bin in sample order.
constexpr std::size_t kGroupsPerPass = 4;

// Separate multiply and add instructions (no FMA) keep the rounding of the direct sums.
template <std::size_t kGroups>
__attribute__((target("avx2"))) void accumulate_groups(const TwiddleTable& table, std::size_t first_group,
                                                       const double* samples, double* power) {
    __m256d real[kGroups];
    __m256d imaginary[kGroups];
    const double* rows[kGroups];
    for (std::size_t g = 0; g < kGroups; ++g) {
        real[g] = _mm256_setzero_pd();
        imaginary[g] = _mm256_setzero_pd();
        rows[g] = table.group_rows(first_group + g);
    }
    const std::size_t sample_count = table.sample_count();
    for (std::size_t i = 0; i < sample_count; ++i) {
        const __m256d sample = _mm256_broadcast_sd(samples + i);
        const std::size_t offset = i * TwiddleTable::kRowWidth;
        for (std::size_t g = 0; g < kGroups; ++g) {
            const __m256d cosines = _mm256_loadu_pd(rows[g] + offset);
            const __m256d sines = _mm256_loadu_pd(rows[g] + offset + kSpectrumLanes);
            real[g] = _mm256_add_pd(real[g], _mm256_mul_pd(sample, cosines));
            imaginary[g] = _mm256_sub_pd(imaginary[g], _mm256_mul_pd(sample, sines));
        }
    }
    for (std::size_t g = 0; g < kGroups; ++g) {
        BinLanes real_lanes;
        BinLanes imaginary_lanes;
        _mm256_storeu_pd(real_lanes.data(), real[g]);
        _mm256_storeu_pd(imaginary_lanes.data(), imaginary[g]);
        store_group_powers(real_lanes, imaginary_lanes, first_group + g, table.bin_count(), power);
    }
}

}  // namespace

__attribute__((target("avx2"))) void power_spectrum_kernel_avx2(const TwiddleTable& table, const double* samples,
                                                                TableSweep sweep, double* power) {
    sweep_group_blocks(table, kGroupsPerPass, sweep, [&](std::size_t first_group, std::size_t count) {
        if (count == kGroupsPerPass) {
            accumulate_groups<kGroupsPerPass>(table, first_group, samples, power);
            return;
        }
        for (std::size_t group = first_group; group < first_group + count; ++group) {
            accumulate_groups<1>(table, group, samples, power);
        }
    });
}

}  // namespace veltrix

#endif
