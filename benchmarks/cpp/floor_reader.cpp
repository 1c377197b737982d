#include "floor_reader.hpp"

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace floor_reader {
namespace {

constexpr Py_ssize_t kKeystrokePositions = 150;

// Interned keys, matched by pointer first, then by cached hash and text.
template <std::size_t N>
class KeySet {
  public:
    explicit KeySet(const std::array<const char*, N>& names) {
        for (std::size_t i = 0; i < N; ++i) {
            keys_[i] = PyUnicode_InternFromString(names[i]);
            hashes_[i] = PyObject_Hash(keys_[i]);
        }
    }

    PyObject* key(std::size_t i) const { return keys_[i]; }

    int find(PyObject* key) const {
        for (std::size_t i = 0; i < N; ++i) {
            if (key == keys_[i]) return static_cast<int>(i);
        }
        const Py_hash_t hash = reinterpret_cast<PyASCIIObject*>(key)->hash;
        for (std::size_t i = 0; i < N; ++i) {
            const Py_ssize_t length = PyUnicode_GET_LENGTH(keys_[i]);
            if (hash == hashes_[i] && PyUnicode_GET_LENGTH(key) == length &&
                std::memcmp(PyUnicode_DATA(key), PyUnicode_DATA(keys_[i]), static_cast<std::size_t>(length)) == 0) {
                return static_cast<int>(i);
            }
        }
        return -1;
    }

  private:
    std::array<PyObject*, N> keys_{};
    std::array<Py_hash_t, N> hashes_{};
};

// Floats inline; the ints and bools of the benchmark visits through the C API.
double number(PyObject* value) {
    if (PyFloat_CheckExact(value)) return PyFloat_AS_DOUBLE(value);
    return PyLong_AsDouble(value);
}

// One PyDict_Next walk that stops after the dict's last entry.
template <std::size_t N, class Store>
void walk(PyObject* dict, const KeySet<N>& keys, Store store) {
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    for (Py_ssize_t left = PyDict_GET_SIZE(dict); left > 0 && PyDict_Next(dict, &position, &key, &value); --left) {
        const int field = keys.find(key);
        if (field >= 0) store(static_cast<std::size_t>(field), value);
    }
}

}  // namespace

Visit read_visit(PyObject* telemetry) {
    static const KeySet<5> visit_keys({"browser", "clicks", "scrolls", "keystrokes", "mouse_movements"});
    static const KeySet<6> browser_keys(
        {"webdriver", "screen_width", "screen_height", "touch_supported", "max_touch_points", "plugins_length"});
    static const KeySet<4> keystroke_keys({"key", "t", "up", "duration_ms"});
    static const KeySet<5> point_keys({"x", "y", "t", "r", "f"});

    Visit visit;
    const auto field = [&](std::size_t i) { return PyDict_GetItemWithError(telemetry, visit_keys.key(i)); };
    if (PyObject* browser = field(0)) {
        walk(browser, browser_keys, [&](std::size_t i, PyObject* value) { visit.browser[i] = number(value); });
    }
    if (PyObject* clicks = field(1)) visit.clicks = static_cast<std::uint64_t>(PyList_GET_SIZE(clicks));
    if (PyObject* scrolls = field(2)) visit.scrolls = static_cast<std::uint64_t>(PyList_GET_SIZE(scrolls));
    if (PyObject* keystrokes = field(3)) {
        const Py_ssize_t count = std::min(PyList_GET_SIZE(keystrokes), kKeystrokePositions);
        visit.keystrokes.reserve(static_cast<std::size_t>(count));
        for (Py_ssize_t i = 0; i < count; ++i) {
            Keystroke keystroke{0, 0.0, 0.0};
            double duration = 0.0;
            walk(PyList_GET_ITEM(keystrokes, i), keystroke_keys, [&](std::size_t k, PyObject* value) {
                switch (k) {
                    case 0: keystroke.first_byte = *PyUnicode_AsUTF8(value); break;
                    case 1: keystroke.down = number(value); break;
                    case 2: keystroke.up = number(value); break;
                    default: duration = number(value); break;
                }
            });
            if (keystroke.up == 0.0) keystroke.up = keystroke.down + duration;
            visit.keystrokes.push_back(keystroke);
        }
    }
    if (PyObject* movements = field(4)) {
        const Py_ssize_t count = PyList_GET_SIZE(movements);
        visit.points.reserve(static_cast<std::size_t>(count));
        for (Py_ssize_t i = 0; i < count; ++i) {
            std::array<double, 5> point{};
            walk(PyList_GET_ITEM(movements, i), point_keys,
                 [&](std::size_t k, PyObject* value) { point[k] = number(value); });
            visit.points.push_back(point);
        }
    }
    return visit;
}

}  // namespace floor_reader
