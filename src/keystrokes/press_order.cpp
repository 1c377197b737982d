#include "keystrokes/press_order.hpp"

#include <algorithm>
#include <cmath>

namespace veltrix {
namespace {

// A bare `<` is not a strict weak ordering once NaN is present (NaN would be
// "equal" to everything), which std sorts are allowed to punish with undefined
// behaviour. Ranking NaN after every number, and NaNs as equal to one another,
// restores the ordering without changing it among numbers.
bool pressed_earlier(const KeystrokeRecord& a, const KeystrokeRecord& b) {
    if (std::isnan(b.down)) {
        return !std::isnan(a.down);
    }
    return a.down < b.down;
}

}  // namespace

std::vector<KeystrokeRecord> sorted_by_press_time(std::span<const KeystrokeRecord> records) {
    std::vector<KeystrokeRecord> sorted(records.begin(), records.end());
    std::ranges::stable_sort(sorted, pressed_earlier);
    return sorted;
}

}  // namespace veltrix
