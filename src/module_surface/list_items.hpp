#pragma once
// Walking a visitor-supplied list whose items' conversions may run Python code
// that mutates the very list being read.

#include <Python.h>

#include <algorithm>

#include "module_surface/lenient_reading.hpp"

namespace veltrix::py {

// Reads the first `limit` positions of a list with `read_item`, which takes the
// item borrowed from the list (it must hold the item before running Python code)
// and returns an ItemRead. The length is read once, so items appended meanwhile
// are not read; once the list has shrunk below a position, nothing is left to
// read. False when an item's reading stopped with an error pending.
template <class ReadItem>
bool read_list_items(PyObject* list, Py_ssize_t limit, ReadItem read_item) {
    const Py_ssize_t length = std::min(PyList_GET_SIZE(list), limit);
    for (Py_ssize_t index = 0; index < length && index < PyList_GET_SIZE(list); ++index) {
        if (read_item(PyList_GET_ITEM(list, index)) == ItemRead::stopped) return false;
    }
    return true;
}

}  // namespace veltrix::py
