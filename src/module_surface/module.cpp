// Module creation: one module object per process, refused in a second interpreter.

#include <Python.h>

#include <array>

#include "module_surface/fatal.hpp"
#include "module_surface/first_interpreter_only.hpp"
#include "module_surface/function_table.hpp"
#include "module_surface/method_def.hpp"
#include "module_surface/py_ref.hpp"

namespace veltrix::py {
namespace {

// The number comes from pyproject.toml through the build; callers compare the
// whole string, suffix included.
constexpr const char* kCoreVersion = VELTRIX_PROJECT_VERSION "-native-rust";

PyObject* is_rust_core_active(PyObject*, PyObject*) noexcept { Py_RETURN_TRUE; }

PyObject* get_core_version(PyObject*, PyObject*) noexcept {
    return created_or_die(PyUnicode_FromString(kCoreVersion), "cannot create the version string");
}

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "veltrix_core_rs",  // m_name
    "",                 // m_doc
    0,                  // m_size
    nullptr,            // m_methods: functions are added after creation, in table order
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The module state lives for the whole process: the module is never torn down.
FirstInterpreterOnly interpreter_guard{"veltrix_core_rs"};
PyObject* the_module = nullptr;

// Binds the function under its __name__ and appends that name to __all__.
bool add_function(PyObject* module, PyObject* module_name, const PyMethodDef& record) noexcept {
    PyRef function = PyRef::steal(PyCMethod_New(const_cast<PyMethodDef*>(&record), module, module_name, nullptr));
    if (!function) return false;
    PyRef name = PyRef::steal(PyObject_GetAttrString(function.get(), "__name__"));
    if (!name || PyObject_SetAttr(module, name.get(), function.get()) < 0) return false;

    PyObject* module_dict = PyModule_GetDict(module);  // borrowed, lives with the module
    PyRef all = PyRef::borrow(PyDict_GetItemString(module_dict, "__all__"));
    if (!all) {
        all = PyRef::steal(PyList_New(0));
        if (!all || PyDict_SetItemString(module_dict, "__all__", all.get()) < 0) return false;
    }
    return PyList_Append(all.get(), name.get()) == 0;
}

PyObject* create_module() noexcept {
    static const std::array table = {
        &is_rust_core_active_method,
        &get_core_version_method,
        &extract_features_method,
        &evaluate_curvature_naturalness_method,
        &evaluate_curvature_zerocopy_method,
        &evaluate_keystroke_dynamics_method,
        &consume_nonce_method,
        &is_ip_banned_method,
        &ban_ip_method,
        &unban_ip_method,
        &hydrate_bans_method,
        &clear_state_engine_method,
        &get_state_engine_stats_method,
    };
    PyRef module = PyRef::steal(PyModule_Create2(&module_definition, 1013));
    if (!module) return nullptr;
    PyRef module_name = PyRef::steal(PyModule_GetNameObject(module.get()));
    if (!module_name) return nullptr;
    for (const PyMethodDef* record : table) {
        if (!add_function(module.get(), module_name.get(), *record)) return nullptr;
    }
    return module.release();
}

}  // namespace

const PyMethodDef is_rust_core_active_method =
    no_args_method("is_rust_core_active", is_rust_core_active, "is_rust_core_active()\n--\n\n");
const PyMethodDef get_core_version_method =
    no_args_method("get_core_version", get_core_version, "get_core_version()\n--\n\n");

}  // namespace veltrix::py

PyMODINIT_FUNC PyInit_veltrix_core_rs() {
    using namespace veltrix::py;
    if (!interpreter_guard.admits_current_interpreter()) return nullptr;
    if (the_module == nullptr) {
        veltrix::end_allocation_failures_through_die();
        the_module = create_module();
    }
    return Py_XNewRef(the_module);
}
