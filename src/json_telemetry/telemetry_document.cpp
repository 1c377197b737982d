#include "json_telemetry/telemetry_document.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "json_telemetry/json_value_reading.hpp"

namespace veltrix::json {
namespace {

using namespace std::string_view_literals;

// The parser stores at most this count with an array; longer arrays are counted.
constexpr std::size_t kLargestStoredElementCount = 0xFFFFFF;

// Calls on_field(index, value) for each field of `object` named names[index],
// in document order: a later duplicate key overwrites what an earlier one set,
// as the dict json.loads makes of the object keeps the last one. Key names are
// compared unescaped. The readers of samples, keystrokes and the browser read
// each value where they meet it: keeping elements for later made GCC spill and
// reload them in pieces, a stall that cost more than the reading itself.
template <std::size_t N, class OnField>
void for_each_named_field(dom::object object, const std::array<std::string_view, N>& names, OnField on_field) noexcept {
    for (const dom::key_value_pair field : object) {
        for (std::size_t index = 0; index < N; ++index) {
            if (field.key == names[index]) {
                on_field(index, field.value);
                break;
            }
        }
    }
}

// The reading of the last value under one name: `read` is false when the name
// is missing or its value does not convert.
template <class T>
struct LastReading {
    T value{};
    bool read = false;

    template <class Read>
    void assign(dom::element element, Read read_value) noexcept {
        read = read_value(element, value);
    }
    T value_or(T fallback) const noexcept { return read ? value : fallback; }
};

bool read_object(dom::element value, dom::object& object) noexcept {
    return value.get_object().get(object) == simdjson::SUCCESS;
}

bool read_array(dom::element value, dom::array& array) noexcept {
    return value.get_array().get(array) == simdjson::SUCCESS;
}

std::uint64_t element_count(dom::array array) noexcept {
    const std::size_t stored = array.size();
    if (stored < kLargestStoredElementCount) return stored;
    std::uint64_t count = 0;
    for ([[maybe_unused]] const dom::element item : array) ++count;
    return count;
}

bool is_finite(const LastReading<double>& reading) noexcept { return reading.read && std::isfinite(reading.value); }

void read_browser(dom::object browser, ParsedTelemetry& parsed) {
    enum Field : std::size_t {
        webdriver,
        screen_width,
        screen_height,
        touch_supported,
        max_touch_points,
        plugins_length
    };
    static constexpr std::array names = {"webdriver"sv,       "screen_width"sv,     "screen_height"sv,
                                         "touch_supported"sv, "max_touch_points"sv, "plugins_length"sv};
    LastReading<bool> webdriver_flag, touch_flag;
    LastReading<double> width, height;
    LastReading<std::int64_t> touch_points, plugins;
    for_each_named_field(browser, names, [&](std::size_t index, dom::element value) {
        switch (index) {
            case webdriver: return webdriver_flag.assign(value, read_flag);
            case screen_width: return width.assign(value, read_double);
            case screen_height: return height.assign(value, read_double);
            case touch_supported: return touch_flag.assign(value, read_flag);
            case max_touch_points: return touch_points.assign(value, read_i64);
            default: return plugins.assign(value, read_i64);
        }
    });
    parsed.webdriver = webdriver_flag.value_or(false);
    // A browser record without a usable screen size marks the screen invalid.
    parsed.screen_width = width.value_or(0.0);
    parsed.screen_height = height.value_or(0.0);
    parsed.screen_valid = height.read && parsed.screen_width > 0.0 && parsed.screen_height > 0.0;
    parsed.touch_supported = touch_flag.value_or(false);
    parsed.max_touch_points = touch_points.value_or(0);
    parsed.plugins_length = plugins.value_or(1);
}

// Down time from the first of "t", "down" and "time" that holds a finite number
// (else no record); key text, or "unknown"; release from "up", else down + "duration_ms".
bool read_keystroke(dom::object entry, KeystrokeRecord& record) {
    enum Field : std::size_t { t, down, time, key, up, duration_ms };
    static constexpr std::array names = {"t"sv, "down"sv, "time"sv, "key"sv, "up"sv, "duration_ms"sv};
    std::array<LastReading<double>, 3> down_candidates;  // t, down, time
    LastReading<std::string_view> label;
    LastReading<double> release, duration;
    for_each_named_field(entry, names, [&](std::size_t index, dom::element value) {
        switch (index) {
            case key: return label.assign(value, read_text);
            case up: return release.assign(value, read_double);
            case duration_ms: return duration.assign(value, read_double);
            default: return down_candidates[index].assign(value, read_double);
        }
    });

    const LastReading<double>* down_time = nullptr;
    for (const LastReading<double>& candidate : down_candidates) {
        if (is_finite(candidate)) {
            down_time = &candidate;
            break;
        }
    }
    if (!down_time) return false;
    record.key = KeyLabel(label.value_or(kUnknownKeyLabel));
    record.down = down_time->value;
    if (release.read) {
        record.up = release.value;
    } else if (duration.read) {
        record.up = down_time->value + duration.value;
    }
    return true;
}

// All five fields are read before the sample is judged: x, y and t must be finite.
bool read_movement(dom::object sample, MovementPoint& point) noexcept {
    enum Field : std::size_t { x, y, t, r, f };
    static constexpr std::array names = {"x"sv, "y"sv, "t"sv, "r"sv, "f"sv};
    bool has_x = false, has_y = false, has_t = false;
    for_each_named_field(sample, names, [&](std::size_t index, dom::element value) {
        switch (index) {
            case x: has_x = read_double(value, point.x); return;
            case y: has_y = read_double(value, point.y); return;
            case t: has_t = read_double(value, point.t); return;
            case r:
                if (!read_double(value, point.r)) point.r = 0.0;
                return;
            default:
                if (!read_double(value, point.f)) point.f = 0.0;
                return;
        }
    });
    return has_x && has_y && has_t && std::isfinite(point.x) && std::isfinite(point.y) && std::isfinite(point.t);
}

// Reads the objects among the first `positions` items of `list` into records
// appended to `records`, keeping those that `read_record` accepts. Each record
// is built in its place: built aside and moved in, GCC reloaded it in pieces,
// a stall on every pointer sample.
template <class Record, class ReadRecord>
void append_records(dom::array list, std::size_t positions, std::vector<Record>& records, ReadRecord read_record) {
    records.reserve(records.size() + std::min(list.size(), positions));
    for (const dom::element item : list) {
        if (positions-- == 0) break;
        dom::object object;
        if (!read_object(item, object)) continue;
        if (!read_record(object, records.emplace_back())) records.pop_back();
    }
}

}  // namespace

ParsedTelemetry read_telemetry_document(dom::element root) {
    enum Field : std::size_t { browser, clicks, scrolls, keystrokes, mouse_movements };
    static constexpr std::array names = {"browser"sv, "clicks"sv, "scrolls"sv, "keystrokes"sv, "mouse_movements"sv};

    ParsedTelemetry parsed;
    dom::object visit;
    if (!read_object(root, visit)) return parsed;
    // Containers are kept to be read once, after their last duplicate is known.
    std::array<std::optional<dom::element>, names.size()> last{};
    for_each_named_field(visit, names, [&](std::size_t index, dom::element value) { last[index] = value; });
    dom::object object;
    dom::array list;
    if (last[browser] && read_object(*last[browser], object)) read_browser(object, parsed);
    if (last[clicks] && read_array(*last[clicks], list)) parsed.click_count = element_count(list);
    if (last[scrolls] && read_array(*last[scrolls], list)) parsed.scroll_count = element_count(list);
    if (last[keystrokes] && read_array(*last[keystrokes], list)) {
        append_records(list, kMaxKeystrokeListPositions, parsed.keystrokes, read_keystroke);
    }
    if (last[mouse_movements] && read_array(*last[mouse_movements], list)) {
        append_records(list, SIZE_MAX, parsed.points, read_movement);
    }
    return parsed;
}

}  // namespace veltrix::json
