#include "platform/native_stack.hpp"

#include <pthread.h>

#include <cstdint>
#include <limits>

namespace veltrix {
namespace {

// The lowest usable address of this thread's stack (it grows down), or 0 when unknown.
std::uintptr_t read_stack_low_end() noexcept {
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0) return 0;
    void* low_end = nullptr;
    std::size_t size = 0;
    const bool known = pthread_attr_getstack(&attributes, &low_end, &size) == 0;
    pthread_attr_destroy(&attributes);
    return known ? reinterpret_cast<std::uintptr_t>(low_end) : 0;
}

}  // namespace

std::size_t native_stack_headroom() noexcept {
    thread_local const std::uintptr_t low_end = read_stack_low_end();
    const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    if (low_end == 0 || here < low_end) return std::numeric_limits<std::size_t>::max();
    return here - low_end;
}

}  // namespace veltrix
