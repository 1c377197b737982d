#pragma once
// Reading one visit's telemetry dict into plain data: the only step of feature
// extraction that touches Python objects.

#include <Python.h>

#include "kinematics/parsed_telemetry.hpp"

namespace veltrix::py {

// Never raises: a missing key, a wrong type or a failed conversion leaves the
// field's default or skips the one list item, and every error is cleared.
// Anything but a dict reads as an empty visit.
ParsedTelemetry read_telemetry(PyObject* telemetry);

}  // namespace veltrix::py
