// The curvature kernel's block loop, written once for every instruction set.
//
// A kernel's file defines a `Lanes` type for its instruction set (the vector
// type and its integer twin, the lane count, and the few operations that need
// the instruction set's own instructions) and VELTRIX_KERNEL_TARGET, its
// target attribute, then includes this file: every function here is compiled
// for that target alone, so the rest of the library still runs on any
// processor. The arithmetic is written with the vector operators, which each
// target turns into its own instructions, one IEEE operation per operator (the
// build forbids fused multiply-adds), so every kernel gives the bits of
// evaluate_segment.
//
// Included once per kernel file; everything sits in an unnamed namespace, so
// each target's copy stays inside its own file.

#ifndef VELTRIX_KERNEL_TARGET
#error "define VELTRIX_KERNEL_TARGET, the kernel's target attribute, before including this file"
#endif

#include <cstddef>
#include <cstring>

#include "curvature/curvature_series.hpp"

namespace veltrix {
namespace {

template <class Lanes>
struct CurvatureBlocks {
    using Vector = typename Lanes::Vector;

    // memcpy is the alignment-free load and store every target understands.
    VELTRIX_KERNEL_TARGET static Vector load(const double* from) {
        Vector lanes;
        std::memcpy(&lanes, from, sizeof lanes);
        return lanes;
    }

    VELTRIX_KERNEL_TARGET static void store(double* to, Vector lanes) { std::memcpy(to, &lanes, sizeof lanes); }

    // The ordered comparison is false for NaN, which therefore takes the floor too.
    VELTRIX_KERNEL_TARGET static Vector floored_time_steps(Vector steps) {
        const Vector min_step = Lanes::broadcast(kMinTimeStepMs);
        return steps > min_step ? steps : min_step;
    }

    VELTRIX_KERNEL_TARGET static Vector mean_time_steps(Vector earlier, Vector later) {
        return (earlier + later) * 0.5;
    }

    VELTRIX_KERNEL_TARGET static Vector rates_of_change(Vector earlier, Vector later, Vector time_steps) {
        return (later - earlier) / time_steps;
    }

    // Clears the sign bit alone, as fabs does, so NaNs lose their sign too. A
    // cast between vector types of one size reinterprets the bits (std::bit_cast
    // would be a function compiled without the target, passing vectors in a
    // different calling convention).
    VELTRIX_KERNEL_TARGET static Vector magnitudes(Vector values) {
        using Bits = typename Lanes::Bits;
        const Bits sign_bits = (Bits)Lanes::broadcast(-0.0);
        return (Vector)((Bits)values & ~sign_bits);
    }

    VELTRIX_KERNEL_TARGET static Vector curvatures(Vector vx, Vector vy, Vector ax, Vector ay) {
        const Vector speed_squared = (vx * vx + vy * vy) + kCurvatureSpeedSquaredFloor;
        const Vector cross = vx * ay - vy * ax;
        return magnitudes(cross) / (speed_squared * Lanes::square_roots(speed_squared));
    }

    // Each block of segments i .. i + width - 1 also completes the interior
    // elements and rate elements one and two places behind, exactly as
    // evaluate_segment would.
    VELTRIX_KERNEL_TARGET static CurvatureSums run(PathSamples path, CurvatureSeries series) {
        constexpr std::size_t kWidth = Lanes::kWidth;
        CurvatureSums sums;
        const std::size_t segments = path.samples - 1;
        std::size_t i = 0;
        for (; i < kSegmentsWithoutFullHistory; ++i) {
            evaluate_segment(path, series, sums, i);
        }
        // Only the last lane of each carries over, as the predecessor of the next block.
        Vector previous_dt = Lanes::broadcast(series.dt[i - 1]);
        Vector previous_vx = Lanes::broadcast(series.vx[i - 1]);
        Vector previous_vy = Lanes::broadcast(series.vy[i - 1]);
        Vector previous_curvature = Lanes::broadcast(series.curvature[i - 2]);
        for (; i + kWidth <= segments; i += kWidth) {
            const std::size_t j = i - 1;
            const std::size_t k = i - 2;
            const Vector dt = floored_time_steps(load(path.t + i + 1) - load(path.t + i));
            const Vector vx = rates_of_change(load(path.x + i), load(path.x + i + 1), dt);
            const Vector vy = rates_of_change(load(path.y + i), load(path.y + i + 1), dt);
            const Vector dtm = mean_time_steps(Lanes::predecessors(previous_dt, dt), dt);
            const Vector ax = rates_of_change(Lanes::predecessors(previous_vx, vx), vx, dtm);
            const Vector ay = rates_of_change(Lanes::predecessors(previous_vy, vy), vy, dtm);
            const Vector curvature = curvatures(vx, vy, ax, ay);
            const Vector rate =
                rates_of_change(Lanes::predecessors(previous_curvature, curvature), curvature, floored_time_steps(dtm));
            store(series.dt.data() + i, dt);
            store(series.vx.data() + i, vx);
            store(series.vy.data() + i, vy);
            store(series.dtm.data() + j, dtm);
            store(series.ax.data() + j, ax);
            store(series.ay.data() + j, ay);
            store(series.curvature.data() + j, curvature);
            store(series.rate.data() + k, rate);
            sums.curvature = Lanes::add_in_lane_order(sums.curvature, curvature);
            sums.rate = Lanes::add_in_lane_order(sums.rate, rate);
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
};

}  // namespace
}  // namespace veltrix
