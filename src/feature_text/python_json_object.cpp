#include "feature_text/python_json_object.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>

#include "feature_text/json_text.hpp"
#include "feature_text/repr_text.hpp"
#include "module_surface/binding.hpp"
#include "module_surface/convert.hpp"
#include "module_surface/method_def.hpp"
#include "module_surface/py_ref.hpp"

namespace veltrix::py {
namespace {

constexpr Signature<2> json_object_signature{"json_object", {"names", "values"}};

// How far a value was written: whole, not at all because the json module would
// write it by rules of its own (subclasses, keys other than str, nesting deeper
// than the recursion limit: the caller asks the json module), or not at all with
// an error pending.
enum class Writing { written, for_the_json_module, failed };

void append_string(std::string& out, PyObject* text) noexcept {
    const void* data = PyUnicode_DATA(text);
    const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(text));
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND: text::append_json_string(out, static_cast<const std::uint8_t*>(data), length); break;
        case PyUnicode_2BYTE_KIND:
            text::append_json_string(out, static_cast<const std::uint16_t*>(data), length);
            break;
        default: text::append_json_string(out, static_cast<const std::uint32_t*>(data), length); break;
    }
}

Writing append_value(std::string& out, PyObject* value) noexcept;

Writing append_int(std::string& out, PyObject* value) noexcept {
    int overflow = 0;
    const long long small = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow == 0) {
        text::append_int_repr(out, small);
        return Writing::written;
    }
    const PyRef digits = PyRef::steal(PyObject_Repr(value));
    const std::optional<std::string_view> text = digits ? as_borrowed_text(digits.get()) : std::nullopt;
    if (!text) return Writing::failed;
    out += *text;
    return Writing::written;
}

Writing append_items(std::string& out, PyObject* const* items, Py_ssize_t count) noexcept {
    out += '[';
    for (Py_ssize_t index = 0; index < count; ++index) {
        if (index > 0) out += ',';
        if (const Writing writing = append_value(out, items[index]); writing != Writing::written) return writing;
    }
    out += ']';
    return Writing::written;
}

Writing append_members(std::string& out, PyObject* dict) noexcept {
    out += '{';
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    bool first = true;
    // Nothing written here runs Python code, so the dict cannot change meanwhile.
    while (PyDict_Next(dict, &position, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) return Writing::for_the_json_module;
        if (!first) out += ',';
        first = false;
        append_string(out, key);
        out += ':';
        if (const Writing writing = append_value(out, value); writing != Writing::written) return writing;
    }
    out += '}';
    return Writing::written;
}

Writing append_container(std::string& out, PyObject* value) noexcept {
    const std::optional<RecursionLevel> level = RecursionLevel::enter();
    if (!level) {
        PyErr_Clear();  // the json module decides how deep a value may be
        return Writing::for_the_json_module;
    }
    if (PyDict_CheckExact(value)) return append_members(out, value);
    if (PyList_CheckExact(value)) return append_items(out, PySequence_Fast_ITEMS(value), PyList_GET_SIZE(value));
    return append_items(out, PySequence_Fast_ITEMS(value), PyTuple_GET_SIZE(value));
}

Writing append_value(std::string& out, PyObject* value) noexcept {
    if (value == Py_None) {
        out += "null";
    } else if (value == Py_True || value == Py_False) {
        out += value == Py_True ? "true" : "false";
    } else if (PyFloat_CheckExact(value)) {
        text::append_json_float(out, PyFloat_AS_DOUBLE(value));
    } else if (PyLong_CheckExact(value)) {
        return append_int(out, value);
    } else if (PyUnicode_CheckExact(value)) {
        append_string(out, value);
    } else if (PyDict_CheckExact(value) || PyList_CheckExact(value) || PyTuple_CheckExact(value)) {
        return append_container(out, value);
    } else {
        return Writing::for_the_json_module;
    }
    return Writing::written;
}

PyObject* json_object(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    auto parsed = parse_arguments(json_object_signature, {args, nargsf, kwnames}, as_object, as_object);
    if (!parsed) return nullptr;
    auto [names, values] = *parsed;
    if (!PyTuple_CheckExact(names) || !PyTuple_CheckExact(values)) {
        PyErr_SetString(PyExc_TypeError, "json_object() takes two tuples");
        return nullptr;
    }
    // The names are distinct, as a row's columns are; zip() stops at the shorter tuple.
    const Py_ssize_t count = std::min(PyTuple_GET_SIZE(names), PyTuple_GET_SIZE(values));
    std::string text = "{";
    for (Py_ssize_t index = 0; index < count; ++index) {
        PyObject* name = PyTuple_GET_ITEM(names, index);
        if (!PyUnicode_CheckExact(name)) Py_RETURN_NONE;
        if (index > 0) text += ',';
        append_string(text, name);
        text += ':';
        const Writing writing = append_value(text, PyTuple_GET_ITEM(values, index));
        if (writing == Writing::failed) return nullptr;
        if (writing == Writing::for_the_json_module) Py_RETURN_NONE;
    }
    text += '}';
    return PyUnicode_DecodeASCII(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
}

}  // namespace

PyMethodDef json_object_method() noexcept {
    return fast_call_method(json_object_signature, json_object,
                            "json_object(names, values)\n--\n\n"
                            "json.JSONEncoder(separators=(\",\", \":\")).encode(dict(zip(names, values))),\n"
                            "or None for a value the json module writes by rules of its own.");
}

}  // namespace veltrix::py
