#pragma once
// Failures that no caller input can cause (the operating system refusing a clock
// or random bytes) are not reported back: the process ends with a diagnostic.

#include <string_view>

namespace veltrix {

[[noreturn]] void end_process(std::string_view diagnostic) noexcept;

}  // namespace veltrix
