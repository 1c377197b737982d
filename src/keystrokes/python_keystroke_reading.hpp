#pragma once
// Reading one keystroke given as a dict, shared by the keystroke entry point and
// the telemetry reader, which differ only in the order they try the down-time keys.

#include <Python.h>

#include <initializer_list>
#include <optional>

#include "keystrokes/keystroke_record.hpp"
#include "module_surface/static_key.hpp"

namespace veltrix::py {

// Down time from the first of `down_keys` that holds a finite number (else no
// record); key text, or "unknown"; release from "up", else down + "duration_ms".
// Never raises: every error on the way is cleared.
std::optional<KeystrokeRecord> keystroke_from_dict(PyObject* dict,
                                                   std::initializer_list<const StaticKey*> down_keys);

}  // namespace veltrix::py
