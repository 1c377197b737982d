#pragma once
// A str object for a fixed field or result key, made once and kept for the life
// of the process, so hot paths neither rebuild nor rehash their key texts.

#include <Python.h>

#include "module_surface/fatal.hpp"

namespace veltrix::py {

class StaticKey {
  public:
    explicit constexpr StaticKey(const char* text) noexcept : text_(text) {}
    StaticKey(const StaticKey&) = delete;
    StaticKey& operator=(const StaticKey&) = delete;

    const char* text() const noexcept { return text_; }

    // Called with the interpreter lock held, which serialises the lazy creation.
    PyObject* object() const noexcept {
        if (object_ == nullptr) {
            object_ = created_or_die(PyUnicode_InternFromString(text_), "cannot create a key string");
        }
        return object_;
    }

  private:
    const char* text_;
    mutable PyObject* object_ = nullptr;  // immortal for our purposes: never released
};

}  // namespace veltrix::py
