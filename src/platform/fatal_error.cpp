#include "platform/fatal_error.hpp"

#include <cxxabi.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <typeinfo>

namespace veltrix {
namespace {

std::terminate_handler earlier_terminate_handler = nullptr;

// Asks the runtime for the type alone: rethrowing the exception to catch it by
// type would need an allocation, the one thing that is known to fail here.
bool uncaught_exception_is_allocation_failure() noexcept {
    const std::type_info* const type = abi::__cxa_current_exception_type();
    return type != nullptr && (*type == typeid(std::bad_alloc) || *type == typeid(std::bad_array_new_length));
}

[[noreturn]] void on_terminate() noexcept {
    if (uncaught_exception_is_allocation_failure()) die("out of memory");
    if (earlier_terminate_handler != nullptr) earlier_terminate_handler();
    std::abort();
}

}  // namespace

void die(std::string_view diagnostic) noexcept {
    std::fprintf(stderr, "veltrix_core_rs: fatal: %.*s\n", static_cast<int>(diagnostic.size()), diagnostic.data());
    std::abort();
}

void end_allocation_failures_through_die() noexcept {
    // A second installation must not chain the handler to itself.
    if (std::get_terminate() == on_terminate) return;
    earlier_terminate_handler = std::set_terminate(on_terminate);
}

}  // namespace veltrix
