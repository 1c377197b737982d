#include "feature_text/python_repr_join.hpp"

#include <string>

#include "feature_text/repr_text.hpp"
#include "module_surface/binding.hpp"
#include "module_surface/convert.hpp"
#include "module_surface/method_def.hpp"
#include "module_surface/py_ref.hpp"

namespace veltrix::py {
namespace {

constexpr Signature<1> join_reprs_signature{"join_reprs", {"values"}};

// Text of other objects' repr() passes through as UTF-8 with surrogates kept,
// so that the joined text decodes back to exactly what repr() returned.
constexpr const char* kReprTextErrors = "surrogatepass";

bool append_object_repr(std::string& text, PyObject* item) noexcept {
    const PyRef repr = PyRef::steal(PyObject_Repr(item));
    if (!repr) return false;
    const PyRef encoded = PyRef::steal(PyUnicode_AsEncodedString(repr.get(), "utf-8", kReprTextErrors));
    if (!encoded) return false;
    text.append(PyBytes_AS_STRING(encoded.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
    return true;
}

bool append_repr(std::string& text, PyObject* item) noexcept {
    if (PyFloat_CheckExact(item)) {
        text::append_float_repr(text, PyFloat_AS_DOUBLE(item));
    } else if (PyBool_Check(item)) {
        text += item == Py_True ? "True" : "False";
    } else if (PyLong_CheckExact(item)) {
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(item, &overflow);
        if (overflow != 0) return append_object_repr(text, item);
        text::append_int_repr(text, value);
    } else {
        return append_object_repr(text, item);
    }
    return true;
}

PyObject* join_reprs(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    auto parsed = parse_arguments(join_reprs_signature, {args, nargsf, kwnames}, as_object);
    if (!parsed) return nullptr;
    const PyRef items = PyRef::steal(PySequence_Fast(std::get<0>(*parsed), "join_reprs() argument must be iterable"));
    if (!items) return nullptr;
    std::string text;
    // A list can change under a repr() of its own items: its size is read afresh
    // and each item held while it is written.
    for (Py_ssize_t index = 0; index < PySequence_Fast_GET_SIZE(items.get()); ++index) {
        const PyRef item = PyRef::borrow(PySequence_Fast_GET_ITEM(items.get(), index));
        if (index > 0) text += ',';
        if (!append_repr(text, item.get())) return nullptr;
    }
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), kReprTextErrors);
}

}  // namespace

PyMethodDef join_reprs_method() noexcept {
    return fast_call_method(join_reprs_signature, join_reprs,
                            "join_reprs(values)\n--\n\n"
                            "\",\".join(map(repr, values)), floats, ints and bools written natively.");
}

}  // namespace veltrix::py
