#pragma once
// Reading one visit's telemetry dict into plain data: the only step of feature
// extraction that touches Python objects.

#include <Python.h>

#include "kinematics/parsed_telemetry.hpp"

namespace veltrix::py {

// Lenient: a missing key, a wrong type or a conversion failing with an ordinary
// error leaves the field's default or skips the one list item, its error
// cleared; anything but a dict reads as an empty visit. False when an error
// that must reach the caller (an interrupt, an exit, MemoryError,
// RecursionError) stopped the reading: it is left pending, and `parsed` holds
// what was read before it.
bool read_telemetry(PyObject* telemetry, ParsedTelemetry& parsed);

}  // namespace veltrix::py
