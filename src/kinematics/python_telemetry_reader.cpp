#include "kinematics/python_telemetry_reader.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "keystrokes/python_keystroke_reading.hpp"
#include "module_surface/convert.hpp"
#include "module_surface/field_keys.hpp"
#include "module_surface/field_reader.hpp"
#include "module_surface/lenient_reading.hpp"
#include "module_surface/list_items.hpp"
#include "module_surface/py_ref.hpp"
#include "module_surface/static_key.hpp"

// Each kind of dict has a plain reader for the common case (exact-str keys,
// plain numbers, bools and ASCII text: no Python code can run, so one walk over
// the entries gives every field) and a careful reader for everything else,
// which reads the fields one by one in their documented order.

namespace veltrix::py {
namespace {

constexpr KeystrokeDictRules kKeystrokeRules{{kTField, kDownField, kTimeField}, /*skips_releases=*/false};

// ---- browser

enum BrowserField : std::size_t {
    kWebdriver,
    kScreenWidth,
    kScreenHeight,
    kTouchSupported,
    kMaxTouchPoints,
    kPluginsLength
};

const FieldKeys<6>& browser_keys() {
    static const FieldKeys<6> keys(
        {"webdriver", "screen_width", "screen_height", "touch_supported", "max_touch_points", "plugins_length"});
    return keys;
}

// A browser dict's fields with their defaults when absent or unreadable.
struct BrowserRecord {
    bool webdriver = false;
    double screen_width = 0.0;
    std::optional<double> screen_height;
    bool touch_supported = false;
    std::int64_t max_touch_points = 0;
    std::int64_t plugins_length = 1;

    // A browser record without a usable screen size marks the screen invalid.
    void store(ParsedTelemetry& parsed) const {
        parsed.webdriver = webdriver;
        parsed.screen_width = screen_width;
        parsed.screen_height = screen_height.value_or(0.0);
        parsed.screen_valid = screen_height && screen_width > 0.0 && *screen_height > 0.0;
        parsed.touch_supported = touch_supported;
        parsed.max_touch_points = max_touch_points;
        parsed.plugins_length = plugins_length;
    }
};

bool read_plain_browser(PyObject* dict, BrowserRecord& record) {
    std::array<PyObject*, 6> values{};
    const bool walked = browser_keys().walk(dict, [&](std::size_t field, PyObject* value) {
        values[field] = value;
        return true;
    });
    if (!walked) return false;
    BrowserRecord browser;
    const auto plain = [&](BrowserField field, auto read_plain, auto& value) {
        return values[field] == nullptr || read_plain(values[field], value);
    };
    double height = 0.0;
    if (!plain(kWebdriver, plain_flag, browser.webdriver) || !plain(kScreenWidth, plain_double, browser.screen_width) ||
        !plain(kScreenHeight, plain_double, height) || !plain(kTouchSupported, plain_flag, browser.touch_supported) ||
        !plain(kMaxTouchPoints, plain_i64, browser.max_touch_points) ||
        !plain(kPluginsLength, plain_i64, browser.plugins_length)) {
        return false;
    }
    if (values[kScreenHeight] != nullptr) browser.screen_height = height;
    record = browser;
    return true;
}

// False when the reading stopped.
[[gnu::noinline]] bool read_browser_carefully(PyObject* dict, BrowserRecord& browser) {
    FieldReader reader(dict, browser_keys());
    reader.read(kWebdriver, as_flag, browser.webdriver);
    reader.read(kScreenWidth, as_double, browser.screen_width);
    if (double height = 0.0; reader.read(kScreenHeight, as_double, height)) browser.screen_height = height;
    reader.read(kTouchSupported, as_flag, browser.touch_supported);
    reader.read(kMaxTouchPoints, as_i64, browser.max_touch_points);
    reader.read(kPluginsLength, as_i64, browser.plugins_length);
    return !reader.stopped();
}

bool read_browser(PyObject* dict, ParsedTelemetry& parsed) {
    BrowserRecord browser;
    if (!read_plain_browser(dict, browser) && !read_browser_carefully(dict, browser)) return false;
    browser.store(parsed);
    return true;
}

// ---- keystrokes

bool read_keystrokes(PyObject* list, ParsedTelemetry& parsed) {
    parsed.keystrokes.reserve(std::min(static_cast<std::size_t>(PyList_GET_SIZE(list)), kMaxKeystrokeListPositions));
    return read_list_items(list, static_cast<Py_ssize_t>(kMaxKeystrokeListPositions), [&](PyObject* item) {
        if (!PyDict_Check(item)) return ItemRead::skipped;
        KeystrokeRecord record;
        const ItemRead outcome = read_keystroke_dict(item, kKeystrokeRules, record);
        if (outcome == ItemRead::kept) parsed.keystrokes.push_back(record);
        return outcome;
    });
}

// ---- pointer samples

enum MovementField : std::size_t { kX, kY, kT, kR, kF };

const FieldKeys<5>& movement_keys() {
    static const FieldKeys<5> keys({"x", "y", "t", "r", "f"});
    return keys;
}

bool usable_coordinates(const MovementPoint& point) {
    return std::isfinite(point.x) && std::isfinite(point.y) && std::isfinite(point.t);
}

// The hot loop of the reading: a thousand of these per rich visit. Each value is
// converted as the walk finds it; x, y and t must be present and finite, r and
// f keep 0.0 unless given.
PlainRead read_plain_movement(PyObject* dict, MovementPoint& point) {
    std::array<double, 5> numbers{};
    unsigned present = 0;
    const bool walked = movement_keys().walk(dict, [&](std::size_t field, PyObject* value) {
        present |= 1u << field;
        return plain_double(value, numbers[field]);
    });
    if (!walked) return PlainRead::declined;
    point = MovementPoint{numbers[kX], numbers[kY], numbers[kT], numbers[kR], numbers[kF]};
    constexpr unsigned kRequired = 1u << kX | 1u << kY | 1u << kT;
    return (present & kRequired) == kRequired && usable_coordinates(point) ? PlainRead::kept : PlainRead::skipped;
}

// All five fields are read, in this order, before the point is judged.
[[gnu::noinline]] ItemRead read_movement_carefully(PyObject* borrowed_dict, MovementPoint& point) {
    const PyRef dict = PyRef::borrow(borrowed_dict);
    FieldReader reader(dict.get(), movement_keys());
    point = MovementPoint{};
    const bool has_x = reader.read(kX, as_double, point.x);
    const bool has_y = reader.read(kY, as_double, point.y);
    const bool has_t = reader.read(kT, as_double, point.t);
    reader.read(kR, as_double, point.r);
    reader.read(kF, as_double, point.f);
    if (reader.stopped()) return ItemRead::stopped;
    return has_x && has_y && has_t && usable_coordinates(point) ? ItemRead::kept : ItemRead::skipped;
}

bool read_movements(PyObject* list, ParsedTelemetry& parsed) {
    parsed.points.reserve(static_cast<std::size_t>(PyList_GET_SIZE(list)));
    return read_list_items(list, PY_SSIZE_T_MAX, [&](PyObject* item) {
        if (!PyDict_Check(item)) return ItemRead::skipped;
        MovementPoint point;
        ItemRead outcome = ItemRead::skipped;
        switch (read_plain_movement(item, point)) {
            case PlainRead::kept: outcome = ItemRead::kept; break;
            case PlainRead::skipped: outcome = ItemRead::skipped; break;
            case PlainRead::declined: outcome = read_movement_carefully(item, point); break;
        }
        if (outcome == ItemRead::kept) parsed.points.push_back(point);
        return outcome;
    });
}

// ---- the visit

// Hands the value under `key` to `read` when it has the wanted type (subclasses
// included); a value of another type counts as absent. False when the lookup
// or the reading stopped.
template <class HasType, class Read>
bool read_typed_field(PyObject* dict, const StaticKey& key, HasType has_type, Read read) {
    const PyRef value = find_field(dict, key.object());
    if (!value) return absorb_if_ordinary();
    return !has_type(value.get()) || read(value.get());
}

bool is_dict(PyObject* object) { return PyDict_Check(object); }
bool is_list(PyObject* object) { return PyList_Check(object); }

std::uint64_t list_length(PyObject* list) { return static_cast<std::uint64_t>(PyList_GET_SIZE(list)); }

}  // namespace

bool read_telemetry(PyObject* telemetry, ParsedTelemetry& parsed) {
    static const StaticKey browser{"browser"}, clicks{"clicks"}, scrolls{"scrolls"}, keystrokes{"keystrokes"},
        mouse_movements{"mouse_movements"};
    if (!PyDict_Check(telemetry)) return true;
    // Looked up one at a time: reading one field may run Python code that changes the dict.
    return read_typed_field(telemetry, browser, is_dict, [&](PyObject* dict) { return read_browser(dict, parsed); }) &&
           read_typed_field(telemetry, clicks, is_list,
                            [&](PyObject* list) {
                                parsed.click_count = list_length(list);
                                return true;
                            }) &&
           read_typed_field(telemetry, scrolls, is_list,
                            [&](PyObject* list) {
                                parsed.scroll_count = list_length(list);
                                return true;
                            }) &&
           read_typed_field(telemetry, keystrokes, is_list,
                            [&](PyObject* list) { return read_keystrokes(list, parsed); }) &&
           read_typed_field(telemetry, mouse_movements, is_list,
                            [&](PyObject* list) { return read_movements(list, parsed); });
}

}  // namespace veltrix::py
