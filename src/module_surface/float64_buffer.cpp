#include "module_surface/float64_buffer.hpp"

#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "module_surface/convert.hpp"
#include "module_surface/fatal.hpp"

namespace veltrix::py {
namespace {

constexpr Py_ssize_t kFloat64Size = 8;

// "d" alone or after a prefix that means this machine's byte order.
bool is_native_double_format(const char* format) noexcept {
    const std::string_view text = format == nullptr ? "B" : format;
    if (text == "d") return true;
    if (text.size() != 2 || text[1] != 'd') return false;
    const bool little_endian = std::endian::native == std::endian::little;
    return text[0] == '@' || text[0] == '=' || (text[0] == '<' && little_endian);
}

const char* refusal(const Py_buffer& view) noexcept {
    if (view.shape == nullptr) return "shape is null";
    if (view.strides == nullptr) return "strides is null";
    if (view.itemsize != kFloat64Size || !is_native_double_format(view.format)) {
        return "buffer contents are not compatible with f64";
    }
    // An empty view reads no memory: exporters may hand out any placeholder address for it.
    if (view.len > 0 && reinterpret_cast<std::uintptr_t>(view.buf) % alignof(double) != 0) {
        return "buffer contents are insufficiently aligned for f64";
    }
    return nullptr;
}

}  // namespace

std::optional<Float64Buffer> Float64Buffer::acquire(PyObject* exporter) {
    Py_buffer view;
    if (PyObject_GetBuffer(exporter, &view, PyBUF_FULL_RO) < 0) {
        ensure_error_set();
        return std::nullopt;
    }
    if (const char* message = refusal(view)) {
        PyBuffer_Release(&view);
        PyErr_SetString(PyExc_BufferError, message);
        return std::nullopt;
    }
    Float64Buffer buffer(view);
    const auto count = static_cast<std::size_t>(view.len / kFloat64Size);
    // Items are always taken in logical row order, whatever the layout: only
    // row-major (C-contiguous) memory holds them in that order as one run.
    if (PyBuffer_IsContiguous(&view, 'C')) {
        if (count > 0) buffer.items_ = {static_cast<const double*>(view.buf), count};
    } else {
        // Column-major, strided, reversed or indirect views are copied through
        // their shape and strides: read as one run their memory would give the
        // items out of order, the wrong items, or run past the exporter's memory.
        buffer.copy_.resize(count);
        if (PyBuffer_ToContiguous(buffer.copy_.data(), &view, view.len, 'C') < 0) {
            die("cannot copy a strided float64 buffer");
        }
        buffer.items_ = buffer.copy_;
    }
    return buffer;
}

}  // namespace veltrix::py
