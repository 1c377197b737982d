#pragma once
// Reading one key press given as a dict, shared by the keystroke entry point and
// the telemetry reader, which differ in the order they try the down-time keys
// and in whether a release reported as an item of its own is left out.

#include <Python.h>

#include <array>
#include <cstddef>
#include <optional>

#include "keystrokes/keystroke_record.hpp"
#include "module_surface/lenient_reading.hpp"

namespace veltrix::py {

enum KeystrokeField : std::size_t { kTypeField, kDownField, kTField, kTimeField, kKeyField, kUpField, kDurationField };

struct KeystrokeDictRules {
    std::array<KeystrokeField, 3> down_time_fields;  // tried in this order
    bool skips_releases;                             // an item whose "type" is "up" is left out
};

// A str's label as a key press keeps it (nothing when `object` is not text, with
// the conversion's error pending).
std::optional<KeyLabel> as_key_label(PyObject* object) noexcept;

// Down time from the first down-time field that holds a finite number (else the
// item is skipped); the key's label, or "unknown"; release from "up", else
// down + "duration_ms". `dict` is borrowed and held before Python code runs.
// Ordinary errors are cleared; any other stops the reading, left pending.
ItemRead read_keystroke_dict(PyObject* dict, const KeystrokeDictRules& rules, KeystrokeRecord& record);

}  // namespace veltrix::py
