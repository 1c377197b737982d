#pragma once
// The one owner of a strong reference to a Python object.
//
// Rules of use:
//   PyRef::steal(p)  takes over a new reference (the result of a "New"/"Get...Ref" call);
//   PyRef::borrow(p) increments a borrowed reference so it stays alive while Python code runs;
//   release()        hands the reference on (to a caller, or to an API that steals it).
// A PyRef is empty when it holds null; destruction drops the reference it holds.

#include <Python.h>

#include <utility>

namespace veltrix::py {

class PyRef {
  public:
    PyRef() noexcept = default;
    static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
    static PyRef borrow(PyObject* object) noexcept { return PyRef(Py_XNewRef(object)); }

    PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        PyRef(std::move(other)).swap(*this);
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() { Py_XDECREF(object_); }

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    void swap(PyRef& other) noexcept { std::swap(object_, other.object_); }

  private:
    explicit PyRef(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

}  // namespace veltrix::py
