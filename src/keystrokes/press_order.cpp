#include "keystrokes/press_order.hpp"

#include <algorithm>
#include <cmath>

namespace veltrix {
namespace {

// A bare `<` is not a strict weak ordering once NaN is present (NaN would be
// "equal" to everything), which std sorts are allowed to punish with undefined
// behaviour. Ranking NaN after every number, and NaNs as equal to one another,
// restores the ordering without changing it among numbers. A closure rather
// than a function, so the sort inlines it.
constexpr auto pressed_earlier = [](const KeystrokeRecord* a, const KeystrokeRecord* b) {
    if (std::isnan(b->down)) {
        return !std::isnan(a->down);
    }
    return a->down < b->down;
};

}  // namespace

void in_press_order(std::span<const KeystrokeRecord> records, std::span<const KeystrokeRecord*> presses) {
    std::ranges::transform(records, presses.begin(), [](const KeystrokeRecord& record) { return &record; });
    // Browsers nearly always report presses in order; checking costs far less than sorting.
    if (!std::ranges::is_sorted(presses, pressed_earlier)) {
        std::ranges::stable_sort(presses, pressed_earlier);
    }
}

}  // namespace veltrix
