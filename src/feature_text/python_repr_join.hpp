#pragma once
// join_reprs(values): ",".join(map(repr, values)), with floats, ints and bools
// written natively; the text outputs of the batch command format every row with it.

#include <Python.h>

namespace veltrix::py {

PyMethodDef join_reprs_method() noexcept;

}  // namespace veltrix::py
