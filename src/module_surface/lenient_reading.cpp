#include "module_surface/lenient_reading.hpp"

namespace veltrix::py {

bool absorb_if_ordinary() noexcept {
    PyObject* pending = PyErr_Occurred();  // borrowed
    if (pending == nullptr) return true;   // a read that failed without raising (a lookup's absent key)
    const bool ordinary = PyErr_GivenExceptionMatches(pending, PyExc_Exception) &&
                          !PyErr_GivenExceptionMatches(pending, PyExc_MemoryError) &&
                          !PyErr_GivenExceptionMatches(pending, PyExc_RecursionError);
    if (ordinary) PyErr_Clear();
    return ordinary;
}

}  // namespace veltrix::py
