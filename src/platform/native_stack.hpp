#pragma once
// How much of the calling thread's native stack is left.

#include <cstddef>

namespace veltrix {

// Bytes between the caller's frame and the low end of this thread's stack, or
// the largest size_t when the thread's stack bounds cannot be read. The bounds
// are read once per thread.
std::size_t native_stack_headroom() noexcept;

}  // namespace veltrix
