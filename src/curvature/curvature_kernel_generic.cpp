// The curvature kernel two lanes at a time in the compiler's generic vectors,
// on every target without naming its instruction set: NEON on ARM, SSE2 on
// x86, per-lane code where there is no vector unit. Listed everywhere, so the
// kernel bit tests cover it on every machine.

#include <cmath>
#include <cstdint>

#include "curvature/curvature_kernels.hpp"

#define VELTRIX_KERNEL_TARGET

namespace veltrix {
namespace {

struct GenericLanes {
    static constexpr std::size_t kWidth = 2;
    typedef double Vector __attribute__((vector_size(kWidth * sizeof(double))));
    typedef std::uint64_t Bits __attribute__((vector_size(kWidth * sizeof(double))));

    static Vector broadcast(double value) { return Vector{value, value}; }

    // The element before each of `current` in its series.
    static Vector predecessors(Vector previous, Vector current) { return Vector{previous[1], current[0]}; }

    // Generic vectors have no square root of their own.
    static Vector square_roots(Vector values) { return Vector{std::sqrt(values[0]), std::sqrt(values[1])}; }

    // When both operands are NaN the processor returns the first one, and the
    // running total of evaluate_segment is that operand. A plain `+` cannot pin
    // the order, as the compiler may swap the operands of a commutative
    // addition, so a NaN total is carried on explicitly; with at most one NaN
    // the order is moot.
    static double add_to_running_total(double total, double value) { return std::isnan(total) ? total : total + value; }

    // One lane at a time, so the sum sees its terms in index order.
    static double add_in_lane_order(double total, Vector values) {
        return add_to_running_total(add_to_running_total(total, values[0]), values[1]);
    }
};

}  // namespace
}  // namespace veltrix

#include "curvature/curvature_kernel_body.hpp"

namespace veltrix {

CurvatureSums curvature_kernel_generic(PathSamples path, CurvatureSeries series) {
    return CurvatureBlocks<GenericLanes>::run(path, series);
}

}  // namespace veltrix
