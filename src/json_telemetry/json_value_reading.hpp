#pragma once
// What the telemetry dict reader makes of one JSON value, given the Python
// object json.loads builds from it: a number with neither fraction nor exponent
// is an int (so "-0" is the int 0), any other number a float, true and false
// are bools, which are also ints; strings are str, arrays lists, objects dicts.
//
// The parser keeps integers of up to 64 bits exactly, and refuses longer ones
// and numbers beyond the double range, which therefore never reach these rules.

#include <simdjson.h>

#include <cstdint>
#include <optional>
#include <string_view>

namespace veltrix::json {

namespace dom = simdjson::dom;

// Float reading: float(value) for floats, ints (rounded to nearest, ties to
// even, as CPython rounds them) and bools; nothing for anything else.
inline std::optional<double> read_double(dom::element value) noexcept {
    double number = 0.0;
    if (value.get_double().get(number) == simdjson::SUCCESS) return number;
    bool flag = false;
    if (value.get_bool().get(flag) == simdjson::SUCCESS) return flag ? 1.0 : 0.0;
    return std::nullopt;
}

// Integer reading: ints within the signed 64-bit range and bools; floats are
// refused, as they are by PyLong_AsLongLong.
inline std::optional<std::int64_t> read_i64(dom::element value) noexcept {
    std::int64_t number = 0;
    if (value.get_int64().get(number) == simdjson::SUCCESS) return number;
    bool flag = false;
    if (value.get_bool().get(flag) == simdjson::SUCCESS) return flag ? 1 : 0;
    return std::nullopt;
}

// The bool rule: true and false only, never the ints 0 and 1.
inline std::optional<bool> read_flag(dom::element value) noexcept {
    bool flag = false;
    if (value.get_bool().get(flag) == simdjson::SUCCESS) return flag;
    return std::nullopt;
}

// String reading: the UTF-8 text of a string, valid while the parsed document lives.
inline std::optional<std::string_view> read_text(dom::element value) noexcept {
    std::string_view text;
    if (value.get_string().get(text) == simdjson::SUCCESS) return text;
    return std::nullopt;
}

}  // namespace veltrix::json
