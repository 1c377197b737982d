#include "kinematics/twiddle_table.hpp"

#include <cmath>

namespace veltrix {

TwiddleTable::TwiddleTable(std::size_t sample_count)
    : sample_count_(sample_count), values_(byte_size_for(sample_count) / sizeof(double), 0.0) {
    const std::size_t bins = bin_count();
    for (std::size_t bin = 0; bin < bins; ++bin) {
        const double omega = bin_frequency(bin, sample_count_);
        const std::size_t group = bin / kSpectrumLanes;
        const std::size_t lane = bin % kSpectrumLanes;
        double* row = values_.data() + group * sample_count_ * kRowWidth;
        for (std::size_t i = 0; i < sample_count_; ++i, row += kRowWidth) {
            ::sincos(static_cast<double>(i) * omega, &row[kSpectrumLanes + lane], &row[lane]);
        }
    }
}

std::size_t TwiddleTable::group_count_for(std::size_t sample_count) {
    return (sample_count / 2 + kSpectrumLanes) / kSpectrumLanes;  // ceil((N/2 + 1) / lanes)
}

std::size_t TwiddleTable::byte_size_for(std::size_t sample_count) {
    return group_count_for(sample_count) * sample_count * kRowWidth * sizeof(double);
}

}  // namespace veltrix
