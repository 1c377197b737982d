#include "module_surface/binding.hpp"

#include <string>
#include <vector>

#include "module_surface/py_ref.hpp"

namespace veltrix::py {
namespace {

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": the interpreter's own wording.
std::string quoted_name_list(std::span<const char* const> names) {
    std::string list;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) list += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        list += '\'';
        list += names[i];
        list += '\'';
    }
    return list;
}

void raise_missing_arguments(const char* function_name, std::span<const char* const> parameters,
                             std::span<PyObject* const> bound) {
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < parameters.size(); ++i) {
        if (bound[i] == nullptr) missing.push_back(parameters[i]);
    }
    const std::string list = quoted_name_list(missing);
    PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional %s: %s", function_name, missing.size(),
                 missing.size() == 1 ? "argument" : "arguments", list.c_str());
}

}  // namespace

bool bind_arguments(const char* function_name, std::span<const char* const> parameters, const FastCallArguments& call,
                    std::span<PyObject*> bound) noexcept {
    const Py_ssize_t positional = PyVectorcall_NARGS(call.nargsf);
    const auto parameter_count = static_cast<Py_ssize_t>(parameters.size());
    if (positional > parameter_count) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments but %zd %s given", function_name,
                     parameter_count, positional, positional == 1 ? "was" : "were");
        return false;
    }
    for (Py_ssize_t i = 0; i < positional; ++i) bound[static_cast<std::size_t>(i)] = call.args[i];

    const Py_ssize_t keyword_count = call.kwnames == nullptr ? 0 : PyTuple_GET_SIZE(call.kwnames);
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(call.kwnames, k);
        std::size_t slot = 0;
        while (slot < parameters.size() && PyUnicode_CompareWithASCIIString(keyword, parameters[slot]) != 0) ++slot;
        if (slot == parameters.size()) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function_name, keyword);
            return false;
        }
        if (bound[slot] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function_name,
                         parameters[slot]);
            return false;
        }
        bound[slot] = call.args[positional + k];
    }

    for (PyObject* value : bound) {
        if (value == nullptr) {
            raise_missing_arguments(function_name, parameters, bound);
            return false;
        }
    }
    return true;
}

void name_argument_in_type_error(const char* parameter) noexcept {
    PyRef error = PyRef::steal(PyErr_GetRaisedException());
    if (!error || Py_TYPE(error.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        PyErr_SetRaisedException(error.release());
        return;
    }
    PyRef message = PyRef::steal(PyObject_Str(error.get()));
    if (!message) {
        // The message itself cannot be read: report the conversion's error as it is.
        PyErr_Clear();
        PyErr_SetRaisedException(error.release());
        return;
    }
    PyErr_Format(PyExc_TypeError, "argument '%s': %U", parameter, message.get());
    PyRef named = PyRef::steal(PyErr_GetRaisedException());
    PyException_SetCause(named.get(), PyException_GetCause(error.get()));
    PyErr_SetRaisedException(named.release());
}

}  // namespace veltrix::py
