// veltrix._json_native: the fast road of veltrix.extract_features_json. The body
// is copied with the interpreter lock held; parsing, reading and every analysis
// then run without it, so threads reading bodies run in parallel. It also hosts
// the batch command's native row formatting (join_reprs).

#include <Python.h>

#include <optional>
#include <string_view>

#include "feature_text/python_repr_join.hpp"
#include "json_telemetry/json_telemetry_reader.hpp"
#include "kinematics/python_feature_dict.hpp"
#include "kinematics/visit_features.hpp"
#include "module_surface/binding.hpp"
#include "module_surface/convert.hpp"
#include "module_surface/first_interpreter_only.hpp"
#include "module_surface/method_def.hpp"
#include "platform/fatal_error.hpp"

namespace veltrix::py {
namespace {

constexpr Signature<1> extract_features_signature{"extract_features", {"body"}};

// Each thread keeps its own reader, so readers run without the interpreter lock.
json::JsonTelemetryReader& this_threads_reader() {
    thread_local json::JsonTelemetryReader reader;
    return reader;
}

// Copies the bytes of a bytes, bytearray, C-contiguous memoryview or (as UTF-8)
// str body into the reader. False, with no error pending, for any other object
// and for text without a UTF-8 form: those are json.loads' to judge.
bool load_body(PyObject* body, json::JsonTelemetryReader& reader) noexcept {
    const auto load = [&](const void* bytes, Py_ssize_t size) {
        reader.load({static_cast<const char*>(bytes), static_cast<std::size_t>(size)});
    };
    if (PyBytes_Check(body)) {
        load(PyBytes_AS_STRING(body), PyBytes_GET_SIZE(body));
    } else if (PyByteArray_Check(body)) {
        load(PyByteArray_AS_STRING(body), PyByteArray_GET_SIZE(body));
    } else if (PyUnicode_Check(body)) {
        const auto text = as_borrowed_text(body);
        if (!text) {
            PyErr_Clear();
            return false;
        }
        load(text->data(), static_cast<Py_ssize_t>(text->size()));
    } else if (PyMemoryView_Check(body)) {
        Py_buffer view;
        if (PyObject_GetBuffer(body, &view, PyBUF_SIMPLE) < 0) {  // released or not C-contiguous
            PyErr_Clear();
            return false;
        }
        load(view.buf, view.len);
        PyBuffer_Release(&view);
    } else {
        return false;
    }
    return true;
}

PyObject* extract_features(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    auto parsed = parse_arguments(extract_features_signature, {args, nargsf, kwnames}, as_object);
    if (!parsed) return nullptr;
    json::JsonTelemetryReader& reader = this_threads_reader();
    if (!load_body(std::get<0>(*parsed), reader)) Py_RETURN_NONE;

    std::optional<VisitFeatures> features;
    Py_BEGIN_ALLOW_THREADS if (const auto telemetry = reader.read()) features = compute_visit_features(*telemetry);
    Py_END_ALLOW_THREADS

        if (!features) Py_RETURN_NONE;
    return new_feature_dict(*features);
}

FirstInterpreterOnly interpreter_guard{"veltrix._json_native"};

PyMethodDef module_functions[] = {
    fast_call_method(extract_features_signature, extract_features,
                     "extract_features(body)\n--\n\n"
                     "The 39 features of the visit whose telemetry JSON `body` holds, or None when\n"
                     "only json.loads can read that body exactly."),
    join_reprs_method(),
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "veltrix._json_native",                                         // m_name
    "Telemetry JSON read natively, without the interpreter lock.",  // m_doc
    0,                                                              // m_size
    module_functions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace veltrix::py

// The interpreter derives this name from the module's, underscore included.
PyMODINIT_FUNC PyInit__json_native() {  // NOLINT(bugprone-reserved-identifier)
    using namespace veltrix::py;
    if (!interpreter_guard.admits_current_interpreter()) return nullptr;
    veltrix::end_allocation_failures_through_die();
    return PyModule_Create(&module_definition);
}
