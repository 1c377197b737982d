#include "module_surface/field_reader.hpp"

#include <cstring>

#include "module_surface/convert.hpp"
#include "module_surface/fatal.hpp"

namespace veltrix::py {
namespace {

// Equality of two exact str objects, as str.__eq__ decides it; `field` is ASCII.
bool same_text(PyObject* key, PyObject* field) noexcept {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(field);
    return PyUnicode_GET_LENGTH(key) == length && PyUnicode_IS_ASCII(key) &&
           std::memcmp(PyUnicode_DATA(key), PyUnicode_DATA(field), static_cast<std::size_t>(length)) == 0;
}

}  // namespace

FieldReader::FieldReader(PyObject* dict, std::span<const StaticKey* const> fields) noexcept
    : dict_(dict), fields_(fields) {
    if (fields.size() > kMaxFields) die("too many fields for one reader");
    std::array<PyObject*, kMaxFields> field_objects{};
    for (std::size_t field = 0; field < fields.size(); ++field) field_objects[field] = fields[field]->object();

    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(dict, &position, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) {
            walk_is_current_ = false;
            return;
        }
        // Keys written as literals are interned, so identity usually decides at once.
        std::size_t field = 0;
        while (field < fields.size() && key != field_objects[field]) ++field;
        if (field == fields.size()) {
            field = 0;
            while (field < fields.size() && !same_text(key, field_objects[field])) ++field;
        }
        if (field < fields.size()) walked_values_[field] = value;
    }
}

std::optional<double> FieldReader::read_first_finite_double(std::initializer_list<const StaticKey*> keys) {
    for (const StaticKey* key : keys) {
        auto value = read(*key, as_double);
        if (value && std::isfinite(*value)) return value;
    }
    return std::nullopt;
}

}  // namespace veltrix::py
