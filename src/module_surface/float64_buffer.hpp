#pragma once
// A buffer-protocol view of native 64-bit floats, whose items are taken in
// logical row order: read in place when it is C-contiguous, copied through its
// shape and strides otherwise.

#include <Python.h>

#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace veltrix::py {

class Float64Buffer {
  public:
    // Requests a PyBUF_FULL_RO view and checks it in a fixed order: shape, strides,
    // item size and format, alignment. A refused view is released before the
    // BufferError is raised; the exporter's own error passes through unchanged.
    static std::optional<Float64Buffer> acquire(PyObject* exporter);

    Float64Buffer(Float64Buffer&& other) noexcept
        : view_(other.view_),
          held_(std::exchange(other.held_, false)),
          copy_(std::move(other.copy_)),  // a moved vector keeps its storage, so items_ stays valid
          items_(other.items_) {}
    Float64Buffer& operator=(Float64Buffer&&) = delete;
    Float64Buffer(const Float64Buffer&) = delete;
    Float64Buffer& operator=(const Float64Buffer&) = delete;
    ~Float64Buffer() {
        if (held_) PyBuffer_Release(&view_);
    }

    // All items in row order: the view's own memory when it is C-contiguous, else a copy.
    std::span<const double> items() const noexcept { return items_; }

  private:
    explicit Float64Buffer(const Py_buffer& view) noexcept : view_(view), held_(true) {}

    // Kept only to be released: some exporters point `shape` into the view itself,
    // so its shape and strides are read before the view is copied here.
    Py_buffer view_;
    bool held_;
    std::vector<double> copy_;  // only for views that are not C-contiguous
    std::span<const double> items_;
};

}  // namespace veltrix::py
