#include "kinematics/power_spectrum_kernels.hpp"

namespace veltrix {

void power_spectrum_kernel_generic(const TwiddleTable& table, const double* samples, TableSweep sweep, double* power) {
    const std::size_t sample_count = table.sample_count();
    sweep_group_blocks(table, 1, sweep, [&](std::size_t group, std::size_t) {
        BinLanes real{};
        BinLanes imaginary{};
        const double* row = table.group_rows(group);
        for (std::size_t i = 0; i < sample_count; ++i, row += TwiddleTable::kRowWidth) {
            for (std::size_t lane = 0; lane < kSpectrumLanes; ++lane) {
                real[lane] += samples[i] * row[lane];
                imaginary[lane] -= samples[i] * row[kSpectrumLanes + lane];
            }
        }
        store_group_powers(real, imaginary, group, table.bin_count(), power);
    });
}

}  // namespace veltrix
