#pragma once
// The pointer samples a visit's kinematics are computed from, in time order.

#include <cstddef>
#include <span>

#include "kinematics/parsed_telemetry.hpp"

namespace veltrix {

// Parallel coordinate series of equal length, the layout the curvature measure reads.
struct TimeOrderedPath {
    std::span<double> x;
    std::span<double> y;
    std::span<double> t;

    std::size_t size() const { return t.size(); }
};

// Writes the earliest samples by time into `room`, as many as it holds, and
// returns the part written: ascending and stable (samples with equal times keep
// their list order). NaN times are placed as std::weak_order places them.
TimeOrderedPath earliest_path(std::span<const MovementPoint> points, TimeOrderedPath room);

}  // namespace veltrix
