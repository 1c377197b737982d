// The compiler's generic vectors give every target a two-lane kernel without
// naming its instruction set: NEON on ARM, SSE2 on x86, per-lane code where
// there is no vector unit. Each lane operation is a separately rounded IEEE
// operation, and the build forbids contracting them into fused multiply-adds.

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "curvature/curvature_kernels.hpp"

namespace veltrix {

namespace {

constexpr std::size_t kLanes = 2;

typedef double Lanes2 __attribute__((vector_size(kLanes * sizeof(double))));
typedef std::uint64_t LaneBits2 __attribute__((vector_size(kLanes * sizeof(double))));

// memcpy is the alignment-free load and store every target understands.
Lanes2 load(const double* from) {
    Lanes2 lanes;
    std::memcpy(&lanes, from, sizeof lanes);
    return lanes;
}

void store(double* to, Lanes2 lanes) { std::memcpy(to, &lanes, sizeof lanes); }

Lanes2 broadcast(double value) { return Lanes2{value, value}; }

// The element before each of `current` in its series, the first one carried
// over from the last block.
Lanes2 predecessors(Lanes2 previous, Lanes2 current) { return Lanes2{previous[1], current[0]}; }

// The ordered comparison is false for NaN, which therefore takes the floor too.
Lanes2 floored_time_steps(Lanes2 steps) {
    const Lanes2 min_step = broadcast(kMinTimeStepMs);
    return steps > min_step ? steps : min_step;
}

Lanes2 mean_time_steps(Lanes2 earlier, Lanes2 later) { return (earlier + later) * 0.5; }

Lanes2 rates_of_change(Lanes2 earlier, Lanes2 later, Lanes2 time_steps) { return (later - earlier) / time_steps; }

// Clears the sign bit alone, as fabs does, so NaNs lose their sign too.
Lanes2 magnitudes(Lanes2 values) {
    constexpr std::uint64_t kMagnitudeBits = ~std::bit_cast<std::uint64_t>(-0.0);
    return std::bit_cast<Lanes2>(std::bit_cast<LaneBits2>(values) & kMagnitudeBits);
}

// Generic vectors have no square root of their own.
Lanes2 square_roots(Lanes2 values) { return Lanes2{std::sqrt(values[0]), std::sqrt(values[1])}; }

Lanes2 curvatures(Lanes2 vx, Lanes2 vy, Lanes2 ax, Lanes2 ay) {
    const Lanes2 speed_squared = (vx * vx + vy * vy) + kCurvatureSpeedSquaredFloor;
    const Lanes2 cross = vx * ay - vy * ax;
    return magnitudes(cross) / (speed_squared * square_roots(speed_squared));
}

// When both operands are NaN the processor returns the first one, and the
// scalar kernel's running total is that operand. A plain `+` cannot pin the
// order, as the compiler may swap the operands of a commutative addition, so a
// NaN total is carried on explicitly; with at most one NaN the order is moot.
double add_to_running_total(double total, double value) { return std::isnan(total) ? total : total + value; }

// One lane at a time, so the sum sees its terms in index order.
double add_in_lane_order(double total, Lanes2 values) {
    return add_to_running_total(add_to_running_total(total, values[0]), values[1]);
}

}  // namespace

// Each block of segments i, i + 1 also completes interior elements i - 1, i and
// rate elements i - 2, i - 1, exactly as evaluate_segment would.
CurvatureSums curvature_kernel_portable_two_lane(PathSamples path, CurvatureSeries series) {
    CurvatureSums sums;
    const std::size_t segments = path.samples - 1;
    std::size_t i = 0;
    for (; i < kSegmentsWithoutFullHistory; ++i) {
        evaluate_segment(path, series, sums, i);
    }
    // Only the last lane of each carries over, as the predecessor of the next block.
    Lanes2 previous_dt = broadcast(series.dt[i - 1]);
    Lanes2 previous_vx = broadcast(series.vx[i - 1]);
    Lanes2 previous_vy = broadcast(series.vy[i - 1]);
    Lanes2 previous_curvature = broadcast(series.curvature[i - 2]);
    for (; i + kLanes <= segments; i += kLanes) {
        const std::size_t j = i - 1;
        const std::size_t k = i - 2;
        const Lanes2 dt = floored_time_steps(load(path.t + i + 1) - load(path.t + i));
        const Lanes2 vx = rates_of_change(load(path.x + i), load(path.x + i + 1), dt);
        const Lanes2 vy = rates_of_change(load(path.y + i), load(path.y + i + 1), dt);
        const Lanes2 dtm = mean_time_steps(predecessors(previous_dt, dt), dt);
        const Lanes2 ax = rates_of_change(predecessors(previous_vx, vx), vx, dtm);
        const Lanes2 ay = rates_of_change(predecessors(previous_vy, vy), vy, dtm);
        const Lanes2 curvature = curvatures(vx, vy, ax, ay);
        const Lanes2 rate =
            rates_of_change(predecessors(previous_curvature, curvature), curvature, floored_time_steps(dtm));
        store(series.dt.data() + i, dt);
        store(series.vx.data() + i, vx);
        store(series.vy.data() + i, vy);
        store(series.dtm.data() + j, dtm);
        store(series.ax.data() + j, ax);
        store(series.ay.data() + j, ay);
        store(series.curvature.data() + j, curvature);
        store(series.rate.data() + k, rate);
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
