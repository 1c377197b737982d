#pragma once
// What the processor offers beyond the build's baseline instruction set,
// probed once per process and shared by every kernel dispatch.

namespace veltrix {

// True on x86-64 processors that report AVX2; false everywhere else.
bool processor_supports_avx2() noexcept;

}  // namespace veltrix
