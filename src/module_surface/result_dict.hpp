#pragma once
// Builds a result dict entry by entry, in the order the caller inserts them.
//
// Creating the dict or a value object can only fail when the interpreter is out
// of memory, which ends the process; a failed insertion stops the build, and
// finish() then drops the partial dict and leaves the insertion's error pending.

#include <Python.h>

#include <concepts>
#include <cstdint>

#include "module_surface/fatal.hpp"
#include "module_surface/py_ref.hpp"
#include "module_surface/static_key.hpp"

namespace veltrix::py {

template <class T>
concept ResultValue =
    std::same_as<T, bool> || std::same_as<T, double> || std::same_as<T, std::uint64_t> || std::same_as<T, std::int64_t>;

template <ResultValue T>
PyRef to_python(T value) noexcept {
    if constexpr (std::same_as<T, bool>) {
        return PyRef::steal(Py_NewRef(value ? Py_True : Py_False));
    } else if constexpr (std::same_as<T, double>) {
        return PyRef::steal(created_or_die(PyFloat_FromDouble(value), "cannot create a float result"));
    } else if constexpr (std::same_as<T, std::uint64_t>) {
        return PyRef::steal(created_or_die(PyLong_FromUnsignedLongLong(value), "cannot create an int result"));
    } else {
        return PyRef::steal(created_or_die(PyLong_FromLongLong(value), "cannot create an int result"));
    }
}

class ResultDict {
  public:
    ResultDict() noexcept : dict_(PyRef::steal(created_or_die(PyDict_New(), "cannot create a result dict"))) {}

    // Starts from a copy of `layout`, a dict that already holds every key in its
    // final order: storing a value then replaces an entry instead of growing the
    // table entry by entry, and the order callers see is the layout's.
    explicit ResultDict(PyObject* layout) noexcept
        : dict_(PyRef::steal(created_or_die(PyDict_Copy(layout), "cannot create a result dict"))) {}

    template <ResultValue T>
    void add(PyObject* key, T value) noexcept {
        if (!dict_) return;
        PyRef object = to_python(value);
        if (PyDict_SetItem(dict_.get(), key, object.get()) < 0) dict_ = PyRef();
    }

    template <ResultValue T>
    void add(const StaticKey& key, T value) noexcept {
        add(key.object(), value);
    }

    // The new dict, or null with the failed insertion's exception pending.
    [[nodiscard]] PyObject* finish() noexcept { return dict_.release(); }

  private:
    PyRef dict_;
};

}  // namespace veltrix::py
