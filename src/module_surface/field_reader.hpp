#pragma once
// Lenient reading of several fields of one visitor-supplied dict.
//
// A field that is missing, or whose value fails to convert, reads as nothing,
// with its error cleared. The dict's own table is used, so a subclass's
// __getitem__ or __missing__ is never called.
//
// Telemetry holds thousands of small dicts, so the fields are found with one
// walk over the dict's entries rather than one hash lookup per field. The walk
// gives what lookups would give as long as no Python code can run in between;
// the reader falls back to real lookups once that may no longer hold: when a key
// is not an exact str (its own __eq__ and __hash__ decide a match), or after a
// conversion that could run Python code, which may have changed the dict.

#include <Python.h>

#include <array>
#include <cmath>
#include <cstddef>
#include <initializer_list>
#include <optional>
#include <span>
#include <type_traits>

#include "module_surface/convert.hpp"
#include "module_surface/py_ref.hpp"
#include "module_surface/static_key.hpp"

namespace veltrix::py {

// A failed conversion read leniently: its error is dropped.
template <class T>
std::optional<T> or_cleared(std::optional<T> value) noexcept {
    if (!value) PyErr_Clear();
    return value;
}

class FieldReader {
  public:
    static constexpr std::size_t kMaxFields = 8;

    // `fields` lists every key that read() will be asked for; it must outlive the reader.
    FieldReader(PyObject* dict, std::span<const StaticKey* const> fields) noexcept;

    // The converted value of dict[key], or nothing.
    template <class Convert>
    auto read(const StaticKey& key, Convert convert)
        -> std::optional<typename std::invoke_result_t<Convert, PyObject*>::value_type> {
        if (!walk_is_current_) return or_cleared(looked_up(key, convert));
        PyObject* value = walked_values_[index_of(key)];  // borrowed from the dict
        if (value == nullptr) return std::nullopt;
        if (converts_without_python_code(value)) return or_cleared(convert(value));
        // The conversion may change the dict: hold the value, and look later fields up.
        walk_is_current_ = false;
        PyRef held = PyRef::borrow(value);
        return or_cleared(convert(held.get()));
    }

    // The first of `keys` whose value is present, converts to a float and is finite.
    std::optional<double> read_first_finite_double(std::initializer_list<const StaticKey*> keys);

  private:
    template <class Convert>
    auto looked_up(const StaticKey& key, Convert convert)
        -> std::optional<typename std::invoke_result_t<Convert, PyObject*>::value_type> {
        PyRef value = find_field(dict_, key.object());
        if (!value) return std::nullopt;
        return convert(value.get());
    }

    std::size_t index_of(const StaticKey& key) const noexcept {
        std::size_t field = 0;
        while (fields_[field] != &key) ++field;  // read() is only asked for listed fields
        return field;
    }

    static bool converts_without_python_code(PyObject* value) noexcept {
        return PyFloat_CheckExact(value) || PyLong_CheckExact(value) || PyBool_Check(value) ||
               PyUnicode_CheckExact(value) || value == Py_None;
    }

    PyObject* dict_;
    std::span<const StaticKey* const> fields_;
    std::array<PyObject*, kMaxFields> walked_values_{};  // borrowed from the dict
    bool walk_is_current_ = true;
};

}  // namespace veltrix::py
