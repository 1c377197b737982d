#include "kinematics/python_telemetry_reader.hpp"

#include <array>
#include <cmath>

#include "keystrokes/python_keystroke_reading.hpp"
#include "module_surface/convert.hpp"
#include "module_surface/field_reader.hpp"
#include "module_surface/list_items.hpp"

namespace veltrix::py {
namespace {

// Keystroke list positions looked at; skipped entries use up positions too.
constexpr Py_ssize_t kMaxKeystrokePositions = 150;

// The value under `key` when it has the wanted type (subclasses included), held
// for its reading; otherwise empty, as if the key were absent.
template <class HasType>
PyRef typed_field(PyObject* dict, const StaticKey& key, HasType has_type) {
    PyRef value = find_field(dict, key.object());
    if (!value) PyErr_Clear();
    return value && has_type(value.get()) ? std::move(value) : PyRef();
}

bool is_dict(PyObject* object) { return PyDict_Check(object); }
bool is_list(PyObject* object) { return PyList_Check(object); }

void read_browser(PyObject* browser, ParsedTelemetry& parsed) {
    static const StaticKey webdriver{"webdriver"}, screen_width{"screen_width"}, screen_height{"screen_height"},
        touch_supported{"touch_supported"}, max_touch_points{"max_touch_points"}, plugins_length{"plugins_length"};
    static const std::array<const StaticKey*, 6> fields = {&webdriver,       &screen_width,     &screen_height,
                                                           &touch_supported, &max_touch_points, &plugins_length};

    FieldReader reader(browser, fields);
    parsed.webdriver = reader.read(webdriver, as_flag).value_or(false);
    // A browser record without a usable screen size marks the screen invalid.
    parsed.screen_width = reader.read(screen_width, as_double).value_or(0.0);
    const auto height = reader.read(screen_height, as_double);
    parsed.screen_height = height.value_or(0.0);
    parsed.screen_valid = height && parsed.screen_width > 0.0 && parsed.screen_height > 0.0;
    parsed.touch_supported = reader.read(touch_supported, as_flag).value_or(false);
    parsed.max_touch_points = reader.read(max_touch_points, as_i64).value_or(0);
    parsed.plugins_length = reader.read(plugins_length, as_i64).value_or(1);
}

void read_keystrokes(PyObject* list, ParsedTelemetry& parsed) {
    static const StaticKey t{"t"}, down{"down"}, time{"time"};
    static const std::array<const StaticKey*, 6> fields = {
        &t, &down, &time, &KeystrokeFields::key, &KeystrokeFields::up, &KeystrokeFields::duration_ms};
    for_each_list_item(list, kMaxKeystrokePositions, [&](PyObject* item) {
        if (!PyDict_Check(item)) return;
        FieldReader reader(item, fields);
        if (auto record = keystroke_from_dict(reader, {&t, &down, &time})) {
            parsed.keystrokes.push_back(std::move(*record));
        }
    });
}

std::optional<MovementPoint> movement_from_dict(PyObject* item) {
    static const StaticKey x_key{"x"}, y_key{"y"}, t_key{"t"}, r_key{"r"}, f_key{"f"};
    static const std::array<const StaticKey*, 5> fields = {&x_key, &y_key, &t_key, &r_key, &f_key};
    // All five are read, in this order, before the point is judged.
    FieldReader reader(item, fields);
    const auto x = reader.read(x_key, as_double);
    const auto y = reader.read(y_key, as_double);
    const auto t = reader.read(t_key, as_double);
    const auto r = reader.read(r_key, as_double);
    const auto f = reader.read(f_key, as_double);
    const auto finite = [](const std::optional<double>& v) { return v && std::isfinite(*v); };
    if (!finite(x) || !finite(y) || !finite(t)) return std::nullopt;
    return MovementPoint{*x, *y, *t, r.value_or(0.0), f.value_or(0.0)};
}

void read_movements(PyObject* list, ParsedTelemetry& parsed) {
    parsed.points.reserve(static_cast<std::size_t>(PyList_GET_SIZE(list)));
    for_each_list_item(list, PY_SSIZE_T_MAX, [&](PyObject* item) {
        if (!PyDict_Check(item)) return;
        if (auto point = movement_from_dict(item)) parsed.points.push_back(*point);
    });
}

}  // namespace

ParsedTelemetry read_telemetry(PyObject* telemetry) {
    static const StaticKey browser{"browser"}, clicks{"clicks"}, scrolls{"scrolls"}, keystrokes{"keystrokes"},
        mouse_movements{"mouse_movements"};

    ParsedTelemetry parsed;
    if (!PyDict_Check(telemetry)) return parsed;
    const auto list_length = [](const PyRef& list) { return static_cast<std::uint64_t>(PyList_GET_SIZE(list.get())); };

    if (PyRef dict = typed_field(telemetry, browser, is_dict)) read_browser(dict.get(), parsed);
    if (PyRef list = typed_field(telemetry, clicks, is_list)) parsed.click_count = list_length(list);
    if (PyRef list = typed_field(telemetry, scrolls, is_list)) parsed.scroll_count = list_length(list);
    if (PyRef list = typed_field(telemetry, keystrokes, is_list)) read_keystrokes(list.get(), parsed);
    if (PyRef list = typed_field(telemetry, mouse_movements, is_list)) read_movements(list.get(), parsed);
    return parsed;
}

}  // namespace veltrix::py
