#pragma once
// Conversions from Python objects to native values.
//
// Each conversion returns the value, or std::nullopt with a Python exception
// pending. None of them keeps a reference to its input: the caller keeps the
// object alive for as long as a borrowed result (std::string_view) is used.

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "module_surface/py_ref.hpp"

namespace veltrix::py {

// Passes any object through unchanged (for parameters taken without a type check).
std::optional<PyObject*> as_object(PyObject* object) noexcept;

// UTF-8 view of a str, valid while the str lives; refuses non-str and unencodable text.
std::optional<std::string_view> as_borrowed_text(PyObject* object) noexcept;
std::optional<std::string> as_owned_text(PyObject* object);

std::optional<double> as_double(PyObject* object) noexcept;
std::optional<std::int64_t> as_i64(PyObject* object) noexcept;
std::optional<std::uint64_t> as_u64(PyObject* object) noexcept;

// True and False, and NumPy's boolean scalars; ints (even 0 and 1) are refused.
std::optional<bool> as_flag(PyObject* object) noexcept;

// Any sequence but str, item by item as doubles, in iteration order.
std::optional<std::vector<double>> as_doubles(PyObject* object);

using AddressExpiry = std::pair<std::string, std::uint64_t>;
// A sequence of (str, int) tuples, e.g. bans reloaded after a restart.
std::optional<std::vector<AddressExpiry>> as_address_expiry_pairs(PyObject* object);

// Looks a field up in the dict's own table (a subclass's __getitem__ and __missing__
// are never called). Returns an owned value, or empty when the key is absent;
// an exception raised by the lookup stays pending.
PyRef find_field(PyObject* dict, PyObject* key) noexcept;

// Plain values: the common built-in objects, read without running Python code
// and without raising, to the value the full conversion above would give. Each
// returns false for any other object, which the full conversion then decides.

// float objects (subclasses too: their value is read directly, never through
// __float__), and int and bool objects small enough to be stored in one digit.
inline bool plain_double(PyObject* object, double& value) noexcept {
    if (PyFloat_CheckExact(object)) {
        value = PyFloat_AS_DOUBLE(object);
        return true;
    }
    if ((PyLong_CheckExact(object) || PyBool_Check(object)) &&
        PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(object))) {
        value = static_cast<double>(PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(object)));
        return true;
    }
    if (PyFloat_Check(object)) {
        value = PyFloat_AS_DOUBLE(object);
        return true;
    }
    return false;
}

inline bool plain_i64(PyObject* object, std::int64_t& value) noexcept {
    if ((PyLong_CheckExact(object) || PyBool_Check(object)) &&
        PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(object))) {
        value = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(object));
        return true;
    }
    return false;
}

inline bool plain_flag(PyObject* object, bool& value) noexcept {
    if (object != Py_True && object != Py_False) return false;
    value = object == Py_True;
    return true;
}

// The text of an exact str that is pure ASCII, which is its own UTF-8 form.
inline bool plain_text(PyObject* object, std::string_view& text) noexcept {
    if (!PyUnicode_CheckExact(object) || !PyUnicode_IS_COMPACT_ASCII(object)) return false;
    text = std::string_view(static_cast<const char*>(PyUnicode_DATA(object)),
                            static_cast<std::size_t>(PyUnicode_GET_LENGTH(object)));
    return true;
}

// Sets the TypeError "'<type>' object cannot be converted to '<target>'".
void set_conversion_error(PyObject* object, const char* target) noexcept;

// A failure reported without a pending exception becomes a SystemError.
void ensure_error_set() noexcept;

}  // namespace veltrix::py
