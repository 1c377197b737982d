#include "kinematics/time_ordered_path.hpp"

#include <algorithm>
#include <cmath>
#include <compare>
#include <optional>
#include <vector>

namespace veltrix {
namespace {

// weak_order is a strict weak ordering even for NaN, which sorting needs for
// correctness; among numbers it is `<`, which is far cheaper to evaluate.
bool earlier_time(double a, double b) { return a < b || (std::isunordered(a, b) && std::is_lt(std::weak_order(a, b))); }

void place(TimeOrderedPath path, std::size_t slot, const MovementPoint& point) {
    path.x[slot] = point.x;
    path.y[slot] = point.y;
    path.t[slot] = point.t;
}

// Browsers deliver samples almost in order, with a few coalesced or swapped
// events. A sample no earlier than the latest one kept is appended while there
// is room, and passed over once the room is full: a long visit's late samples
// cost one comparison each. An earlier one goes where a stable sort would put
// it among those kept, the later ones shifting up and a full room's latest
// dropping out. Nothing once `max_shifts` shifts were not enough: the input is
// far from ordered.
std::optional<std::size_t> insert_in_time_order(std::span<const MovementPoint> points, TimeOrderedPath room,
                                                std::size_t max_shifts) {
    const std::size_t capacity = room.size();
    std::size_t kept = 0;
    std::size_t shifts = 0;
    for (const MovementPoint& point : points) {
        if (kept == 0 || !earlier_time(point.t, room.t[kept - 1])) {
            if (kept < capacity) {
                place(room, kept++, point);
            }
            continue;
        }
        std::size_t slot = kept < capacity ? kept++ : kept - 1;
        for (; slot > 0 && earlier_time(point.t, room.t[slot - 1]); --slot) {
            if (shifts++ == max_shifts) {
                return std::nullopt;
            }
            room.x[slot] = room.x[slot - 1];
            room.y[slot] = room.y[slot - 1];
            room.t[slot] = room.t[slot - 1];
        }
        place(room, slot, point);
    }
    return kept;
}

std::size_t stable_sorted_into(std::span<const MovementPoint> points, TimeOrderedPath room) {
    // Pointers move a fifth of the bytes that whole samples would.
    std::vector<const MovementPoint*> order(points.size());
    std::ranges::transform(points, order.begin(), [](const MovementPoint& point) { return &point; });
    std::ranges::stable_sort(order,
                             [](const MovementPoint* a, const MovementPoint* b) { return earlier_time(a->t, b->t); });
    const std::size_t kept = std::min(order.size(), room.size());
    for (std::size_t i = 0; i < kept; ++i) {
        place(room, i, *order[i]);
    }
    return kept;
}

}  // namespace

TimeOrderedPath earliest_path(std::span<const MovementPoint> points, TimeOrderedPath room) {
    // One shift per sample on average bounds the work wasted on shuffled input.
    const std::optional<std::size_t> inserted = insert_in_time_order(points, room, points.size());
    const std::size_t kept = inserted ? *inserted : stable_sorted_into(points, room);
    return {room.x.first(kept), room.y.first(kept), room.t.first(kept)};
}

}  // namespace veltrix
