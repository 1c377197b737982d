#pragma once
// The floor of reading a visit's telemetry: the fewest operations that get the
// fields the extension reads out of the same Python objects, written against
// the public C API, into plain arrays. It checks nothing it does not need for
// the benchmark visits (types, finiteness, hostile objects), so it is a
// yardstick for the extension's reader, not a reader.

#include <Python.h>

#include <array>
#include <cstdint>
#include <vector>

namespace floor_reader {

struct Keystroke {
    char first_byte;  // of the key's label
    double down;
    double up;  // "up", else down + "duration_ms"
};

struct Visit {
    // webdriver, screen_width, screen_height, touch_supported, max_touch_points, plugins_length
    std::array<double, 6> browser{};
    std::uint64_t clicks = 0;
    std::uint64_t scrolls = 0;
    std::vector<Keystroke> keystrokes;          // the first 150 positions
    std::vector<std::array<double, 5>> points;  // x, y, t, r, f
};

// Needs the interpreter lock.
Visit read_visit(PyObject* telemetry);

}  // namespace floor_reader
