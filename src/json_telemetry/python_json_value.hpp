#pragma once
// The Python object json.loads makes of a parsed JSON value: str, int, float,
// bool, None, and dicts and lists of them (a dict keeps the last value of a
// duplicate key, at the place of its first). The parser has already refused
// what json.loads reads otherwise (integers beyond 64 bits, lone surrogates).

#include <simdjson.h>

#include "module_surface/py_ref.hpp"

namespace veltrix::py {

// The new object, or empty with RecursionError pending when the value is nested
// deeper than the interpreter's recursion limit or the native stack allows.
PyRef new_python_value(simdjson::dom::element value) noexcept;

}  // namespace veltrix::py
