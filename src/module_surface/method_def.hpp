#pragma once
// Function records for the module's table: the two calling conventions we use.

#include <Python.h>

namespace veltrix::py {

using NoArgsFunction = PyObject* (*)(PyObject* module, PyObject* unused) noexcept;
using FastCallFunction = PyObject* (*)(PyObject* module, PyObject* const* args, Py_ssize_t nargsf,
                                       PyObject* kwnames) noexcept;

// `doc` is only the text signature ("name(params)\n--\n\n"), which gives
// inspect.signature the parameter names and leaves no further documentation.
inline PyMethodDef no_args_method(const char* name, NoArgsFunction function, const char* doc) noexcept {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function)), METH_NOARGS, doc};
}

inline PyMethodDef fast_call_method(const char* name, FastCallFunction function, const char* doc) noexcept {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function)),
            METH_FASTCALL | METH_KEYWORDS, doc};
}

}  // namespace veltrix::py
