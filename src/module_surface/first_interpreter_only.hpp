#pragma once
// A module that keeps Python objects for the life of the process (interned
// keys, layout dicts) serves only the interpreter that imported it first.

#include <atomic>
#include <cstdint>

namespace veltrix::py {

class FirstInterpreterOnly {
  public:
    explicit constexpr FirstInterpreterOnly(const char* module_name) noexcept : module_name_(module_name) {}

    // True in the first interpreter that imports the module, on every import
    // there; in any other interpreter false, with ImportError raised.
    bool admits_current_interpreter() noexcept;

  private:
    static constexpr std::int64_t kNoInterpreter = -1;

    const char* module_name_;
    std::atomic<std::int64_t> first_interpreter_id_{kNoInterpreter};
};

}  // namespace veltrix::py
