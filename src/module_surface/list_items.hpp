#pragma once
// Lenient reading of visitor-supplied containers: a missing field, a failed
// lookup or a failed conversion reads as "nothing", with its error cleared.
// Every item and value is held strongly while its conversion may run Python
// code, since that code may mutate the very container being read.

#include <Python.h>

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <optional>
#include <type_traits>

#include "module_surface/convert.hpp"
#include "module_surface/py_ref.hpp"
#include "module_surface/static_key.hpp"

namespace veltrix::py {

template <class Convert>
using Converted = typename std::invoke_result_t<Convert, PyObject*>::value_type;

// A failed conversion read leniently: its error is dropped.
template <class T>
std::optional<T> or_cleared(std::optional<T> value) noexcept {
    if (!value) PyErr_Clear();
    return value;
}

// The converted value of `dict[key]`, or nothing. The dict's own table is
// used, so a subclass's __getitem__ or __missing__ is never called.
template <class Convert>
std::optional<Converted<Convert>> read_field(PyObject* dict, const StaticKey& key, Convert convert) {
    PyRef value = find_field(dict, key.object());
    if (!value) {
        PyErr_Clear();
        return std::nullopt;
    }
    return or_cleared(convert(value.get()));
}

// The first of `keys` that is present, converts to a float and is finite.
inline std::optional<double> read_first_finite_double(PyObject* dict,
                                                      std::initializer_list<const StaticKey*> keys) {
    for (const StaticKey* key : keys) {
        auto value = read_field(dict, *key, as_double);
        if (value && std::isfinite(*value)) return value;
    }
    return std::nullopt;
}

// Visits the first `limit` positions of a list, each item held strongly for the
// visit. The length is read once; positions that vanish as the list shrinks
// under a visit are skipped.
template <class Visit>
void for_each_list_item(PyObject* list, Py_ssize_t limit, Visit visit) {
    const Py_ssize_t length = std::min(PyList_GET_SIZE(list), limit);
    for (Py_ssize_t index = 0; index < length; ++index) {
        PyRef item = PyRef::borrow(PyList_GetItem(list, index));
        if (!item) {
            PyErr_Clear();
            continue;
        }
        visit(item.get());
    }
}

}  // namespace veltrix::py
