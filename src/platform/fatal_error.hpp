#pragma once
// The module's one way of ending the process. Failures that no caller input can
// cause (exhausted memory, the operating system refusing a clock or random
// bytes, the interpreter failing to build a result object) are never turned
// into exceptions: the process ends with the module's own diagnostic.

#include <string_view>

namespace veltrix {

// Writes "veltrix_core_rs: fatal: <diagnostic>" to standard error and aborts.
[[noreturn]] void die(std::string_view diagnostic) noexcept;

// Every entry point is noexcept, so a native allocation failure anywhere below
// one ends in std::terminate. Installed once at import, this makes that end go
// through die() instead of the C++ runtime's own message; any other uncaught
// exception still reaches the terminate handler installed before.
void end_allocation_failures_through_die() noexcept;

}  // namespace veltrix
