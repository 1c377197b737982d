#pragma once
// The interpreter failing to create a result object is, like exhausted native
// memory, not something input can cause: it ends the process through the
// module's one fatal path, veltrix::die.

#include <Python.h>

#include "platform/fatal_error.hpp"

namespace veltrix::py {

// Passes a freshly created object through, or ends the process if creation failed.
inline PyObject* created_or_die(PyObject* object, const char* what) noexcept {
    if (object == nullptr) die(what);
    return object;
}

}  // namespace veltrix::py
