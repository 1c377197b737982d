// AVX2 code lives only in this file's functions, compiled for that target alone,
// so the rest of the library still runs on any x86-64 processor.

#if defined(__x86_64__)

#include <immintrin.h>

#include <bit>
#include <utility>

#include "kinematics/power_spectrum_kernels.hpp"

namespace veltrix {

namespace {

// Four groups keep eight independent add chains in flight, enough to hide the
// latency of the adds while each chain still sums its bin in sample order.
constexpr std::size_t kGroupsPerPass = 4;

// Separate multiply and add instructions (no FMA) keep the rounding of the direct
// sums. The groups are a parameter pack so that every accumulator is indexed by
// a constant: indexed in a loop, GCC kept the accumulators in memory and stored
// all eight on every sample, about a tenth of the spectrum's time.
template <std::size_t... G>
__attribute__((target("avx2"))) void accumulate_groups(const TwiddleTable& table, std::size_t first_group,
                                                       const double* samples, double* power,
                                                       std::index_sequence<G...>) {
    __m256d real[] = {(static_cast<void>(G), _mm256_setzero_pd())...};
    __m256d imaginary[] = {(static_cast<void>(G), _mm256_setzero_pd())...};
    const double* const rows[] = {table.group_rows(first_group + G)...};
    const std::size_t sample_count = table.sample_count();
    for (std::size_t i = 0; i < sample_count; ++i) {
        const __m256d sample = _mm256_broadcast_sd(samples + i);
        const std::size_t offset = i * TwiddleTable::kRowWidth;
        ((real[G] = _mm256_add_pd(real[G], _mm256_mul_pd(sample, _mm256_loadu_pd(rows[G] + offset))),
          imaginary[G] =
              _mm256_sub_pd(imaginary[G], _mm256_mul_pd(sample, _mm256_loadu_pd(rows[G] + offset + kSpectrumLanes)))),
         ...);
    }
    (store_group_powers(std::bit_cast<BinLanes>(real[G]), std::bit_cast<BinLanes>(imaginary[G]), first_group + G,
                        table.bin_count(), power),
     ...);
}

}  // namespace

__attribute__((target("avx2"))) void power_spectrum_kernel_avx2(const TwiddleTable& table, const double* samples,
                                                                TableSweep sweep, double* power) {
    sweep_group_blocks(table, kGroupsPerPass, sweep, [&](std::size_t first_group, std::size_t count) {
        if (count == kGroupsPerPass) {
            accumulate_groups(table, first_group, samples, power, std::make_index_sequence<kGroupsPerPass>{});
            return;
        }
        for (std::size_t group = first_group; group < first_group + count; ++group) {
            accumulate_groups(table, group, samples, power, std::index_sequence<0>{});
        }
    });
}

}  // namespace veltrix

#endif
