#pragma once
// json_object(names, values): the text json.JSONEncoder(separators=(",", ":"))
// writes for dict(zip(names, values)); the JSON-lines output writes every row
// with it.

#include <Python.h>

namespace veltrix::py {

PyMethodDef json_object_method() noexcept;

}  // namespace veltrix::py
