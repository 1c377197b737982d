#include "platform/fatal_error.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <limits>
#include <new>

namespace veltrix {
namespace {

template <class Exception>
[[noreturn]] void raise() {
    throw Exception();
}

// Stands for an entry point: nothing may leave it, so a throw below it terminates.
void run_noexcept(void (*work)()) noexcept { work(); }

// Calls operator new itself: a compiler may drop the allocation of an unused new-expression.
void allocate_more_than_any_machine_has() {
    ::operator delete(::operator new(std::numeric_limits<std::ptrdiff_t>::max()));
}

[[noreturn]] void earlier_handler() noexcept {
    std::fputs("earlier handler ran\n", stderr);
    std::abort();
}

TEST(FatalErrorDeathTest, DieWritesTheModulesLineAndAborts) {
    EXPECT_EXIT(die("clock_gettime failed"), testing::KilledBySignal(SIGABRT),
                "^veltrix_core_rs: fatal: clock_gettime failed\n$");
}

TEST(FatalErrorDeathTest, UncaughtAllocationFailuresEndThroughDie) {
    for (void (*work)() : {allocate_more_than_any_machine_has, raise<std::bad_array_new_length>}) {
        EXPECT_EXIT((end_allocation_failures_through_die(), run_noexcept(work)), testing::KilledBySignal(SIGABRT),
                    "^veltrix_core_rs: fatal: out of memory\n$");
    }
}

TEST(FatalErrorDeathTest, OtherUncaughtExceptionsKeepTheEarlierHandler) {
    const auto install_then_throw = [] {
        std::set_terminate(earlier_handler);
        end_allocation_failures_through_die();
        end_allocation_failures_through_die();  // installing twice must not chain to itself
        run_noexcept(raise<std::bad_exception>);
    };
    EXPECT_EXIT(install_then_throw(), testing::KilledBySignal(SIGABRT), "^earlier handler ran\n$");
}

}  // namespace
}  // namespace veltrix
