#include "kinematics/time_ordered_path.hpp"

#include <algorithm>
#include <cmath>
#include <compare>

namespace veltrix {
namespace {

using SampleOrder = std::span<const MovementPoint*>;

// weak_order is a strict weak ordering even for NaN, which sorting needs for
// correctness; among numbers it is `<`, which is far cheaper to evaluate. A
// closure rather than a function, so the sort inlines it.
constexpr auto sampled_earlier = [](const MovementPoint* a, const MovementPoint* b) {
    return a->t < b->t || (std::isunordered(a->t, b->t) && std::is_lt(std::weak_order(a->t, b->t)));
};

// Browsers deliver samples almost in order, with a few coalesced or swapped
// events; an insertion sort puts those right in linear time. It stops once
// `max_shifts` shifts were not enough, returning false: the order is then only
// partly sorted, but equal elements still keep their relative order, so a stable
// sort finishing the job gives the same result as one started from scratch.
bool insertion_sorted_within(SampleOrder order, std::size_t max_shifts) {
    std::size_t shifts = 0;
    for (std::size_t i = 1; i < order.size(); ++i) {
        const MovementPoint* const sample = order[i];
        std::size_t slot = i;
        for (; slot > 0 && sampled_earlier(sample, order[slot - 1]); --slot) {
            if (shifts++ == max_shifts) {
                order[slot] = sample;
                return false;
            }
            order[slot] = order[slot - 1];
        }
        order[slot] = sample;
    }
    return true;
}

}  // namespace

TimeOrderedPath earliest_path(std::span<const MovementPoint> points, std::size_t limit) {
    // Pointers move a fifth of the bytes that whole samples would.
    std::vector<const MovementPoint*> order(points.size());
    std::ranges::transform(points, order.begin(), [](const MovementPoint& point) { return &point; });
    // One shift per sample on average bounds the wasted work on shuffled input.
    if (!insertion_sorted_within(order, order.size())) {
        std::ranges::stable_sort(order, sampled_earlier);
    }
    const std::size_t used = std::min(order.size(), limit);
    TimeOrderedPath path{std::vector<double>(used), std::vector<double>(used), std::vector<double>(used)};
    for (std::size_t i = 0; i < used; ++i) {
        path.x[i] = order[i]->x;
        path.y[i] = order[i]->y;
        path.t[i] = order[i]->t;
    }
    return path;
}

}  // namespace veltrix
