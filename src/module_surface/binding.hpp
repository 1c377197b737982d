#pragma once
// The fast-call argument binder shared by every function that takes arguments.
//
// A function declares its parameter list once (a Signature); parse_arguments binds
// the positional and keyword arguments to it, then converts each bound value in
// parameter order. Every parameter is required and may come by position or name.

#include <Python.h>

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "platform/native_stack.hpp"

namespace veltrix::py {

template <std::size_t N>
struct Signature {
    const char* function_name;
    std::array<const char*, N> parameters;
};

// The raw arguments of a METH_FASTCALL | METH_KEYWORDS call.
struct FastCallArguments {
    PyObject* const* args;
    Py_ssize_t nargsf;
    PyObject* kwnames;
};

// Fills `bound` (borrowed from the caller's frame, which keeps them alive for the
// call) or raises the binding TypeError and returns false.
bool bind_arguments(const char* function_name, std::span<const char* const> parameters, const FastCallArguments& call,
                    std::span<PyObject*> bound) noexcept;

// After a failed conversion of an argument: an exact TypeError gains the prefix
// "argument '<name>': " (keeping its __cause__); any other error is left as it is.
void name_argument_in_type_error(const char* parameter) noexcept;

// One level of the interpreter's recursion count, held for the rest of a call
// once its arguments are bound. Whatever a function does with its arguments
// (converting or reading them, asking for their buffers) may run Python code
// that calls into the module again; counting every such call lets deep
// re-entry end in RecursionError instead of overflowing the C stack.
//
// The count alone does not bound the stack: a raised recursion limit, a thread
// with a small stack, or an interpreter whose C-level limit ignores the Python
// one (3.13) lets the stack run out first. So a level is also refused when less
// than kNativeStackReserve of the thread's stack is left, which is far more than
// one level's frames (a few KiB, several times that under a sanitizer) need.
class RecursionLevel {
  public:
    static constexpr std::size_t kNativeStackReserve = std::size_t{256} << 10;

    // Nothing, with RecursionError pending, when the limit is reached.
    static std::optional<RecursionLevel> enter() noexcept {
        if (Py_EnterRecursiveCall(" in a veltrix_core_rs call") != 0) return std::nullopt;
        if (native_stack_headroom() < kNativeStackReserve) {
            Py_LeaveRecursiveCall();
            PyErr_SetString(PyExc_RecursionError,
                            "maximum recursion depth exceeded in a veltrix_core_rs call (native stack nearly full)");
            return std::nullopt;
        }
        return RecursionLevel();
    }
    // For a call whose conversions cannot run Python code.
    static RecursionLevel not_counted() noexcept {
        RecursionLevel level;
        level.held_ = false;
        return level;
    }
    RecursionLevel(RecursionLevel&& other) noexcept : held_(std::exchange(other.held_, false)) {}
    // A copy of the parsed arguments (a structured binding by value) leaves the
    // level to the original.
    RecursionLevel(const RecursionLevel&) noexcept : held_(false) {}
    RecursionLevel& operator=(const RecursionLevel&) = delete;
    ~RecursionLevel() {
        if (held_) Py_LeaveRecursiveCall();
    }

  private:
    RecursionLevel() noexcept = default;
    bool held_ = true;
};

// Borrowed text is read from the str's own storage, never through Python code;
// every other conversion may call back into the module.
template <class Value>
inline constexpr bool converts_without_python_code = std::is_same_v<Value, std::string_view>;

// The converted arguments, used as a tuple, holding the call's recursion level.
template <class... Values>
struct ParsedArguments : std::tuple<Values...> {
    RecursionLevel level;
};

// Binds, then converts argument i with converters[i]; each converter maps a
// PyObject* to std::optional<T>. The first failed conversion ends the parse.
template <std::size_t N, class... Converters>
requires(sizeof...(Converters) == N) auto parse_arguments(const Signature<N>& signature, const FastCallArguments& call,
                                                          Converters... converters)
    -> std::optional<ParsedArguments<typename std::invoke_result_t<Converters, PyObject*>::value_type...>> {
    std::array<PyObject*, N> bound{};
    if (!bind_arguments(signature.function_name, signature.parameters, call, bound)) return std::nullopt;
    std::optional<RecursionLevel> level =
        (converts_without_python_code<typename std::invoke_result_t<Converters, PyObject*>::value_type> && ...)
            ? RecursionLevel::not_counted()
            : RecursionLevel::enter();
    if (!level) return std::nullopt;

    std::tuple<std::optional<typename std::invoke_result_t<Converters, PyObject*>::value_type>...> converted;
    const bool all_converted = [&]<std::size_t... I>(std::index_sequence<I...>) {
        // The fold over && stops at the first failure, so later arguments are never looked at.
        return ((std::get<I>(converted) = converters(bound[I]),
                 std::get<I>(converted) ? true : (name_argument_in_type_error(signature.parameters[I]), false)) &&
                ...);
    }
    (std::make_index_sequence<N>{});
    if (!all_converted) return std::nullopt;
    return std::apply(
        [&](auto&&... values) {
            return ParsedArguments<typename std::invoke_result_t<Converters, PyObject*>::value_type...>{
                {std::move(*values)...}, std::move(*level)};
        },
        std::move(converted));
}

}  // namespace veltrix::py

// ParsedArguments binds like the tuple it is.
template <class... Values>
struct std::tuple_size<veltrix::py::ParsedArguments<Values...>>
    : std::integral_constant<std::size_t, sizeof...(Values)> {};
template <std::size_t I, class... Values>
struct std::tuple_element<I, veltrix::py::ParsedArguments<Values...>> : std::tuple_element<I, std::tuple<Values...>> {};
