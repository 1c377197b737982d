#include "json_telemetry/python_json_value.hpp"

#include <cstdint>
#include <string_view>

#include "module_surface/binding.hpp"
#include "module_surface/fatal.hpp"
#include "module_surface/result_dict.hpp"

namespace veltrix::py {
namespace {

namespace dom = simdjson::dom;

// The parser has validated the UTF-8, so decoding can fail only for want of memory.
PyRef new_text(std::string_view text) noexcept {
    return PyRef::steal(created_or_die(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr),
                                       "cannot create a kept string"));
}

PyRef new_list(dom::array array) noexcept {
    PyRef list = PyRef::steal(created_or_die(PyList_New(0), "cannot create a kept list"));
    for (const dom::element item : array) {
        PyRef value = new_python_value(item);
        if (!value || PyList_Append(list.get(), value.get()) < 0) return {};
    }
    return list;
}

PyRef new_dict(dom::object object) noexcept {
    PyRef dict = PyRef::steal(created_or_die(PyDict_New(), "cannot create a kept dict"));
    for (const dom::key_value_pair member : object) {
        const PyRef key = new_text(member.key);
        PyRef value = new_python_value(member.value);
        if (!value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return {};
    }
    return dict;
}

}  // namespace

PyRef new_python_value(dom::element value) noexcept {
    switch (value.type()) {
        case dom::element_type::ARRAY:
        case dom::element_type::OBJECT: {
            const std::optional<RecursionLevel> level = RecursionLevel::enter();
            if (!level) return {};
            return value.is_array() ? new_list(value.get_array().value_unsafe())
                                    : new_dict(value.get_object().value_unsafe());
        }
        case dom::element_type::INT64: return to_python(value.get_int64().value_unsafe());
        case dom::element_type::UINT64: return to_python(value.get_uint64().value_unsafe());
        case dom::element_type::DOUBLE: return to_python(value.get_double().value_unsafe());
        case dom::element_type::STRING: return new_text(value.get_string().value_unsafe());
        case dom::element_type::BOOL: return to_python(value.get_bool().value_unsafe());
        case dom::element_type::NULL_VALUE: break;
    }
    return PyRef::borrow(Py_None);
}

}  // namespace veltrix::py
