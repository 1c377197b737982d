// veltrix._json_native: the fast road of veltrix.extract_features_json and of
// the batch command's rows. The body is copied with the interpreter lock held;
// parsing, reading and every analysis then run without it, so threads reading
// bodies run in parallel. It also hosts the batch command's native row
// formatting (join_reprs, json_object).

#include <Python.h>

#include <optional>
#include <string_view>
#include <vector>

#include "feature_text/python_json_object.hpp"
#include "feature_text/python_repr_join.hpp"
#include "json_telemetry/envelope_reading.hpp"
#include "json_telemetry/json_telemetry_reader.hpp"
#include "json_telemetry/python_json_value.hpp"
#include "kinematics/python_feature_dict.hpp"
#include "kinematics/visit_features.hpp"
#include "module_surface/binding.hpp"
#include "module_surface/convert.hpp"
#include "module_surface/fatal.hpp"
#include "module_surface/first_interpreter_only.hpp"
#include "module_surface/method_def.hpp"
#include "module_surface/py_ref.hpp"
#include "platform/fatal_error.hpp"

namespace veltrix::py {
namespace {

constexpr Signature<2> extract_features_signature{"extract_features", {"body", "telemetry_key"}};
constexpr Signature<4> feature_row_signature{"feature_row", {"line_number", "line", "telemetry_key", "keep"}};

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

// How an argument that names members reads: as text; as a name the parser can
// never meet (a str without a UTF-8 form: the body is left to json.loads' road);
// or not at all, with TypeError pending.
enum class NameReading { read, unmatchable, failed };

NameReading read_name(PyObject* name, const char* what, const char* allowed, std::string_view& text) noexcept {
    if (!PyUnicode_Check(name)) {
        PyErr_Format(PyExc_TypeError, "%s must be %s, not %.200s", what, allowed, Py_TYPE(name)->tp_name);
        return NameReading::failed;
    }
    const auto utf8 = as_borrowed_text(name);
    if (!utf8) {
        PyErr_Clear();
        return NameReading::unmatchable;
    }
    text = *utf8;
    return NameReading::read;
}

// The telemetry key: None (the whole document is the telemetry) or a str.
NameReading read_telemetry_key(PyObject* key, std::optional<std::string_view>& text) noexcept {
    if (key == Py_None) return NameReading::read;
    std::string_view name;
    const NameReading reading = read_name(key, "telemetry_key", "str or None", name);
    if (reading == NameReading::read) text = name;
    return reading;
}

// The kept member names: a tuple of str.
NameReading read_kept_names(PyObject* keep, std::vector<std::string_view>& names) noexcept {
    if (!PyTuple_Check(keep)) {
        PyErr_Format(PyExc_TypeError, "keep must be a tuple of str, not %.200s", Py_TYPE(keep)->tp_name);
        return NameReading::failed;
    }
    names.resize(static_cast<std::size_t>(PyTuple_GET_SIZE(keep)));
    for (std::size_t index = 0; index < names.size(); ++index) {
        const NameReading reading =
            read_name(PyTuple_GET_ITEM(keep, static_cast<Py_ssize_t>(index)), "kept member names", "str", names[index]);
        if (reading != NameReading::read) return reading;
    }
    return NameReading::read;
}

// One parsed body of this thread's reader, released when the call is done with it.
class ParsedBody {
  public:
    explicit ParsedBody(json::JsonTelemetryReader& reader) noexcept : reader_(reader) {}
    ParsedBody(const ParsedBody&) = delete;
    ParsedBody& operator=(const ParsedBody&) = delete;
    ~ParsedBody() { reader_.release(); }

    // Reads the loaded body as `query` asks, without the interpreter lock.
    std::optional<VisitFeatures> read(const json::EnvelopeQuery& query,
                                      std::span<std::optional<simdjson::dom::element>> kept) noexcept {
        PyThreadState* const thread = PyEval_SaveThread();
        std::optional<VisitFeatures> features;
        if (const auto root = reader_.parse()) features = json::read_envelope(*root, query, kept);
        PyEval_RestoreThread(thread);
        return features;
    }

  private:
    json::JsonTelemetryReader& reader_;
};

PyObject* extract_features(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    auto parsed = parse_arguments(extract_features_signature, {args, nargsf, kwnames}, as_object, as_object);
    if (!parsed) return nullptr;
    auto [body, key] = *parsed;
    json::EnvelopeQuery query;
    const NameReading key_reading = read_telemetry_key(key, query.telemetry_key);
    if (key_reading == NameReading::failed) return nullptr;
    json::JsonTelemetryReader& reader = this_threads_reader();
    if (key_reading == NameReading::unmatchable || !load_body(body, reader)) Py_RETURN_NONE;

    ParsedBody parsed_body(reader);
    const std::optional<VisitFeatures> features = parsed_body.read(query, {});
    if (!features) Py_RETURN_NONE;
    return new_feature_dict(*features);
}

// (line_number, *kept values, *features) of a line holding one visit, or null
// with the building's error pending.
PyObject* new_row(PyObject* line_number, std::span<const std::optional<simdjson::dom::element>> kept,
                  const VisitFeatures& features) noexcept {
    const auto kept_count = static_cast<Py_ssize_t>(kept.size());
    PyRef row = PyRef::steal(created_or_die(PyTuple_New(1 + kept_count + static_cast<Py_ssize_t>(kVisitFeatureCount)),
                                            "cannot create a row"));
    // A row dropped part-built releases the items set so far; the others are null.
    set_feature_items(features, row.get(), 1 + kept_count);
    PyTuple_SET_ITEM(row.get(), 0, Py_NewRef(line_number));
    for (Py_ssize_t index = 0; index < kept_count; ++index) {
        const std::optional<simdjson::dom::element>& value = kept[static_cast<std::size_t>(index)];
        PyRef object = value ? new_python_value(*value) : PyRef::borrow(Py_None);
        if (!object) return nullptr;
        PyTuple_SET_ITEM(row.get(), 1 + index, object.release());
    }
    return row.release();
}

PyObject* feature_row(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    auto parsed =
        parse_arguments(feature_row_signature, {args, nargsf, kwnames}, as_object, as_object, as_object, as_object);
    if (!parsed) return nullptr;
    auto [line_number, line, key, keep] = *parsed;
    json::EnvelopeQuery query;
    query.telemetry_must_be_object = true;
    std::vector<std::string_view> kept_names;
    NameReading reading = read_telemetry_key(key, query.telemetry_key);
    if (reading == NameReading::read) reading = read_kept_names(keep, kept_names);
    if (reading == NameReading::failed) return nullptr;
    json::JsonTelemetryReader& reader = this_threads_reader();
    if (reading == NameReading::unmatchable || !load_body(line, reader)) Py_RETURN_NONE;
    query.kept_names = kept_names;

    ParsedBody parsed_body(reader);
    std::vector<std::optional<simdjson::dom::element>> kept(kept_names.size());
    const std::optional<VisitFeatures> features = parsed_body.read(query, kept);
    if (!features) Py_RETURN_NONE;
    PyObject* row = new_row(line_number, kept, *features);
    if (!row && PyErr_ExceptionMatches(PyExc_RecursionError)) {
        PyErr_Clear();  // json.loads decides how deep a kept member may be
        Py_RETURN_NONE;
    }
    return row;
}

FirstInterpreterOnly interpreter_guard{"veltrix._json_native"};

PyMethodDef module_functions[] = {
    fast_call_method(extract_features_signature, extract_features,
                     "extract_features(body, telemetry_key)\n--\n\n"
                     "The 39 features of the visit whose telemetry JSON `body` holds (under the\n"
                     "top-level member `telemetry_key` unless it is None), or None when only\n"
                     "json.loads can read that body exactly or it has no such member."),
    fast_call_method(feature_row_signature, feature_row,
                     "feature_row(line_number, line, telemetry_key, keep)\n--\n\n"
                     "(line_number, *kept members, *39 features) of a JSON line whose object holds\n"
                     "the telemetry (itself, or under `telemetry_key`), or None when only json.loads\n"
                     "can read the line exactly or it holds no object as telemetry."),
    join_reprs_method(),
    json_object_method(),
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
