#pragma once
// The field names of one kind of visitor-supplied record (a pointer sample, a
// key press, the browser record) as str objects made once for the process, and
// the walk that finds their values in a dict.
//
// Telemetry holds thousands of small dicts, so a record's fields are found with
// one walk over its dict's entries rather than one hash lookup per field. The
// walk gives what lookups would give only while every key is an exact str: any
// other key's own __eq__ and __hash__ take part in a lookup, so the walk then
// reports that it cannot stand in for lookups.

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstring>

#include "module_surface/fatal.hpp"

namespace veltrix::py {

template <std::size_t N>
class FieldKeys {
  public:
    static constexpr std::size_t kCount = N;

    // Needs the interpreter lock; kept for the life of the process.
    explicit FieldKeys(const std::array<const char*, N>& names) noexcept {
        for (std::size_t field = 0; field < N; ++field) {
            keys_[field] = created_or_die(PyUnicode_InternFromString(names[field]), "cannot create a key string");
            hashes_[field] = PyObject_Hash(keys_[field]);
        }
    }
    FieldKeys(const FieldKeys&) = delete;
    FieldKeys& operator=(const FieldKeys&) = delete;

    PyObject* key(std::size_t field) const noexcept { return keys_[field]; }

    // Calls visit(field, value) for each entry whose key names a field, in the
    // dict's order, with the value borrowed from the dict; visit returns false
    // to end the walk. False when the walk ended early, or when a key is not an
    // exact str: then only lookups tell what the dict holds.
    template <class Visit>
    bool walk(PyObject* dict, Visit visit) const noexcept {
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        std::size_t expected = 0;
        // Stopping after the last entry saves the call that would only report the end.
        for (Py_ssize_t remaining = PyDict_GET_SIZE(dict); remaining > 0 && PyDict_Next(dict, &position, &key, &value);
             --remaining) {
            if (!PyUnicode_CheckExact(key)) return false;
            const std::size_t field = field_of(key, expected);
            if (field == N) continue;
            if (!visit(field, value)) return false;
            expected = field + 1;
        }
        return true;
    }

  private:
    // The field an exact-str key names, or N. Literal keys are interned, so
    // identity decides at once, and dicts mostly list their keys in one order;
    // keys made at run time (parsed JSON) are matched by their cached hash and text.
    std::size_t field_of(PyObject* key, std::size_t expected) const noexcept {
        if (expected < N && key == keys_[expected]) return expected;
        for (std::size_t field = 0; field < N; ++field) {
            if (key == keys_[field]) return field;
        }
        Py_hash_t hash = reinterpret_cast<PyASCIIObject*>(key)->hash;  // cached when the key was stored
        if (hash == -1) hash = PyObject_Hash(key);
        for (std::size_t field = 0; field < N; ++field) {
            if (hash == hashes_[field] && same_text(key, keys_[field])) return field;
        }
        return N;
    }

    // Equality of two exact str objects, as str.__eq__ decides it; `field` is ASCII.
    static bool same_text(PyObject* key, PyObject* field) noexcept {
        const Py_ssize_t length = PyUnicode_GET_LENGTH(field);
        return PyUnicode_GET_LENGTH(key) == length && PyUnicode_IS_ASCII(key) &&
               std::memcmp(PyUnicode_DATA(key), PyUnicode_DATA(field), static_cast<std::size_t>(length)) == 0;
    }

    std::array<PyObject*, N> keys_{};  // never released
    std::array<Py_hash_t, N> hashes_{};
};

}  // namespace veltrix::py
