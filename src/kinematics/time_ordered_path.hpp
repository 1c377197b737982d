#pragma once
// The pointer samples a visit's kinematics are computed from, in time order.

#include <cstddef>
#include <span>
#include <vector>

#include "kinematics/parsed_telemetry.hpp"

namespace veltrix {

// Parallel coordinate series, the layout the curvature measure reads.
struct TimeOrderedPath {
    std::vector<double> x;
    std::vector<double> y;
    std::vector<double> t;
};

// The `limit` earliest samples by time, ascending and stable: samples with equal
// times keep their list order. NaN times are placed as std::weak_order places them.
TimeOrderedPath earliest_path(std::span<const MovementPoint> points, std::size_t limit);

}  // namespace veltrix
