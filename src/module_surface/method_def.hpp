#pragma once
// Function records for the module's table: the two calling conventions we use.

#include <Python.h>

#include <cstddef>

#include "module_surface/binding.hpp"

namespace veltrix::py {

using NoArgsFunction = PyObject* (*)(PyObject* module, PyObject* unused) noexcept;
using FastCallFunction = PyObject* (*)(PyObject* module, PyObject* const* args, Py_ssize_t nargsf,
                                       PyObject* kwnames) noexcept;

// `doc` is only the text signature ("name(params)\n--\n\n"), which gives
// inspect.signature the parameter names and leaves no further documentation.
inline PyMethodDef no_args_method(const char* name, NoArgsFunction function, const char* doc) noexcept {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function)), METH_NOARGS, doc};
}

// The name comes from the parameter list that the function binds its arguments with.
template <std::size_t N>
PyMethodDef fast_call_method(const Signature<N>& signature, FastCallFunction function, const char* doc) noexcept {
    return {signature.function_name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function)),
            METH_FASTCALL | METH_KEYWORDS, doc};
}

}  // namespace veltrix::py
