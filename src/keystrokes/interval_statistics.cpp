#include "keystrokes/interval_statistics.hpp"

namespace veltrix {

MeanAndVariance mean_and_population_variance(std::span<const double> values) {
    if (values.empty()) {
        return {};
    }
    const auto count = static_cast<double>(values.size());
    double sum = 0.0;
    for (const double value : values) {
        sum += value;
    }
    const double mean = sum / count;
    double squared_deviations = 0.0;
    for (const double value : values) {
        const double deviation = value - mean;
        squared_deviations += deviation * deviation;
    }
    return {mean, squared_deviations / count};
}

}  // namespace veltrix
