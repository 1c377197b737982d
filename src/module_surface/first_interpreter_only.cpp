#include "module_surface/first_interpreter_only.hpp"

#include <Python.h>

#include "module_surface/convert.hpp"

namespace veltrix::py {

bool FirstInterpreterOnly::admits_current_interpreter() noexcept {
    const std::int64_t interpreter_id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter_id < 0) {
        ensure_error_set();
        return false;
    }
    std::int64_t recorded = kNoInterpreter;
    if (!first_interpreter_id_.compare_exchange_strong(recorded, interpreter_id) && recorded != interpreter_id) {
        PyErr_Format(PyExc_ImportError,
                     "%s does not support sub-interpreters: it is already loaded in another interpreter of this "
                     "process",
                     module_name_);
        return false;
    }
    return true;
}

}  // namespace veltrix::py
