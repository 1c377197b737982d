#pragma once
// Failures that no input can cause (the interpreter failing to build a result
// object) end the process with a diagnostic instead of surfacing as exceptions.

#include <Python.h>

namespace veltrix::py {

[[noreturn]] inline void die(const char* what) noexcept { Py_FatalError(what); }

// Passes a freshly created object through, or ends the process if creation failed.
inline PyObject* created_or_die(PyObject* object, const char* what) noexcept {
    if (object == nullptr) die(what);
    return object;
}

}  // namespace veltrix::py
