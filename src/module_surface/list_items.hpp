#pragma once
// Walking a visitor-supplied list whose items' conversions may run Python code
// that mutates the very list being read.

#include <Python.h>

#include <algorithm>

#include "module_surface/py_ref.hpp"

namespace veltrix::py {

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
