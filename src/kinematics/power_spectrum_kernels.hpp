#pragma once
// Bin-parallel accumulation of the power spectrum over a twiddle table. Every
// lane sums its own bin in sample order with separate multiplies and adds, so
// all kernels reproduce the direct evaluation bit for bit; they differ only in
// how many bins they carry at once.

#include <algorithm>
#include <array>
#include <cstddef>

#include "kinematics/twiddle_table.hpp"

namespace veltrix {

// Writes power[k] for every bin k < table.bin_count(); `samples` holds
// table.sample_count() values. `sweep` says from which end the table's groups
// are taken: the order of groups changes no bit of the result.
using PowerSpectrumKernel = void (*)(const TwiddleTable& table, const double* samples, TableSweep sweep, double* power);

void power_spectrum_kernel_generic(const TwiddleTable& table, const double* samples, TableSweep sweep, double* power);

#if defined(__x86_64__)
// Only callable on processors that report AVX2.
void power_spectrum_kernel_avx2(const TwiddleTable& table, const double* samples, TableSweep sweep, double* power);
#endif

// The widest kernel this processor runs (the processor is probed once per process).
PowerSpectrumKernel active_power_spectrum_kernel();

using BinLanes = std::array<double, kSpectrumLanes>;

// Calls visit(first_group, count) for the table's groups in blocks of `block`
// (the last block may be shorter), in the order `sweep` gives.
template <class Visit>
void sweep_group_blocks(const TwiddleTable& table, std::size_t block, TableSweep sweep, Visit visit) {
    const std::size_t groups = table.group_count();
    const std::size_t blocks = (groups + block - 1) / block;
    for (std::size_t i = 0; i < blocks; ++i) {
        const std::size_t first = (sweep == TableSweep::forward ? i : blocks - 1 - i) * block;
        visit(first, std::min(block, groups - first));
    }
}

// The one place where a bin's sums become its power, shared by every kernel.
inline void store_group_powers(const BinLanes& real, const BinLanes& imaginary, std::size_t group,
                               std::size_t bin_count, double* power) {
    for (std::size_t lane = 0; lane < kSpectrumLanes; ++lane) {
        const std::size_t bin = group * kSpectrumLanes + lane;
        if (bin < bin_count) {
            power[bin] = real[lane] * real[lane] + imaginary[lane] * imaginary[lane];
        }
    }
}

}  // namespace veltrix
