#pragma once
// Careful lenient reading of the fields of one visitor-supplied dict, for dicts
// that the plain readers decline: keys that are not exact str, values whose
// conversion may run Python code, subclasses of the value types.
//
// A field that is missing, or whose value fails to convert with an ordinary
// error, reads as absent, its error cleared. Any other error stops the reader:
// it stays pending, and every later read is absent without looking at anything.
// The dict's own table is used, so a subclass's __getitem__ or __missing__ is
// never called. The fields' values come from one walk as long as that gives
// what lookups would; after a conversion that could run Python code, which may
// have changed the dict, later fields are looked up.

#include <Python.h>

#include <array>
#include <cmath>
#include <cstddef>
#include <utility>

#include "module_surface/convert.hpp"
#include "module_surface/field_keys.hpp"
#include "module_surface/lenient_reading.hpp"
#include "module_surface/py_ref.hpp"

namespace veltrix::py {

template <std::size_t N>
class FieldReader {
  public:
    // `dict` must stay alive while the reader is used.
    FieldReader(PyObject* dict, const FieldKeys<N>& keys) noexcept
        : dict_(dict), keys_(keys), walk_is_current_(keys.walk(dict, [this](std::size_t field, PyObject* value) {
              walked_values_[field] = value;
              return true;
          })) {}

    // True with `value` set to the converted value of the field; false, with
    // `value` untouched, when it is absent or does not convert.
    template <class T, class Convert>
    bool read(std::size_t field, Convert convert, T& value) {
        if (stopped_) return false;
        PyRef held = value_of(field);
        if (!held) return settle_failure();
        auto converted = convert(held.get());
        if (!converted) return settle_failure();
        value = std::move(*converted);
        return true;
    }

    // The first of `fields` whose value converts to a float and is finite.
    template <class Fields>
    bool read_first_finite_double(const Fields& fields, double& value) {
        for (const std::size_t field : fields) {
            double candidate = 0.0;
            if (read(field, as_double, candidate) && std::isfinite(candidate)) {
                value = candidate;
                return true;
            }
        }
        return false;
    }

    // An error that must reach the caller is pending; nothing more is read.
    bool stopped() const noexcept { return stopped_; }

  private:
    // The field's value, held while it is converted; empty when absent or when
    // the lookup failed (its error then pending).
    PyRef value_of(std::size_t field) {
        if (!walk_is_current_) return find_field(dict_, keys_.key(field));
        PyObject* value = walked_values_[field];  // borrowed from the dict
        if (value != nullptr && !converts_without_python_code(value)) walk_is_current_ = false;
        return PyRef::borrow(value);
    }

    bool settle_failure() noexcept {
        stopped_ = !absorb_if_ordinary();
        return false;
    }

    static bool converts_without_python_code(PyObject* value) noexcept {
        return PyFloat_CheckExact(value) || PyLong_CheckExact(value) || PyBool_Check(value) ||
               PyUnicode_CheckExact(value) || value == Py_None;
    }

    PyObject* dict_;
    const FieldKeys<N>& keys_;
    std::array<PyObject*, N> walked_values_{};  // borrowed from the dict
    bool walk_is_current_;
    bool stopped_ = false;
};

}  // namespace veltrix::py
