#include "curvature/curvature_metrics.hpp"

#include <algorithm>
#include <cstddef>
#include <vector>

#include "curvature/curvature_kernels.hpp"
#include "curvature/curvature_score.hpp"
#include "kinematics/series_statistics.hpp"

namespace veltrix {

namespace {

// Two segments are needed for one curvature value and two curvature values for one rate.
constexpr std::size_t kMinSamples = 4;

constexpr double kMinTimeStepMs = 0.1;

// Zero, negative and NaN steps all fail the comparison and take the floor, so
// no division ever sees them.
double floored_time_step(double step) { return step > kMinTimeStepMs ? step : kMinTimeStepMs; }

}  // namespace

CurvatureMetrics compute_curvature_metrics(std::span<const double> x, std::span<const double> y,
                                           std::span<const double> t) {
    const std::size_t n = std::min({x.size(), y.size(), t.size()});
    if (n < kMinSamples) {
        return {};
    }
    const std::size_t segments = n - 1;
    const std::size_t interior = n - 2;
    const std::size_t rates = n - 3;

    std::vector<double> dt(segments);
    std::vector<double> vx(segments);
    std::vector<double> vy(segments);
    for (std::size_t i = 0; i < segments; ++i) {
        dt[i] = floored_time_step(t[i + 1] - t[i]);
        vx[i] = (x[i + 1] - x[i]) / dt[i];
        vy[i] = (y[i + 1] - y[i]) / dt[i];
    }

    std::vector<double> dtm(interior);
    std::vector<double> ax(interior);
    std::vector<double> ay(interior);
    for (std::size_t j = 0; j < interior; ++j) {
        dtm[j] = (dt[j] + dt[j + 1]) * 0.5;
        ax[j] = (vx[j + 1] - vx[j]) / dtm[j];
        ay[j] = (vy[j + 1] - vy[j]) / dtm[j];
    }

    // The acceleration at j is paired with the velocity of the later segment, j + 1.
    std::vector<double> curvature(interior, 0.0);
    active_curvature_kernel()(vx.data() + 1, vy.data() + 1, ax.data(), ay.data(),
                              curvature.data(), interior);

    // The rate divides by the mean interval at the later index, k + 1.
    std::vector<double> rate(rates);
    for (std::size_t k = 0; k < rates; ++k) {
        rate[k] = (curvature[k + 1] - curvature[k]) / floored_time_step(dtm[k + 1]);
    }

    const double mean_curvature = mean(curvature);
    const CurvatureStatistics statistics{
        .mean_curvature = mean_curvature,
        .curvature_var = population_variance(curvature, mean_curvature),
        .curvature_rate_var = population_variance(rate, mean(rate)),
    };
    return {
        .mean_curvature = statistics.mean_curvature,
        .curvature_var = statistics.curvature_var,
        .curvature_rate_var = statistics.curvature_rate_var,
        .curvature_score = curvature_ladder_score(statistics, curvature),
    };
}

}  // namespace veltrix
