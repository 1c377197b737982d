#pragma once
// Reading one keystroke given as a dict, shared by the keystroke entry point and
// the telemetry reader, which differ only in the order they try the down-time keys.

#include <Python.h>

#include <initializer_list>
#include <optional>

#include "keystrokes/keystroke_record.hpp"
#include "module_surface/field_reader.hpp"

namespace veltrix::py {

// The fields a keystroke dict is read from besides its down time.
struct KeystrokeFields {
    static const StaticKey key;
    static const StaticKey up;
    static const StaticKey duration_ms;
};

// Down time from the first of `down_keys` that holds a finite number (else no
// record); key text, or "unknown"; release from "up", else down + "duration_ms".
// `fields` must know the down keys and those of KeystrokeFields. Never raises.
std::optional<KeystrokeRecord> keystroke_from_dict(FieldReader& fields,
                                                   std::initializer_list<const StaticKey*> down_keys);

}  // namespace veltrix::py
