#pragma once
// What the telemetry dict reader makes of one JSON value, given the Python
// object json.loads builds from it: a number with neither fraction nor exponent
// is an int (so "-0" is the int 0), any other number a float, true and false
// are bools, which are also ints; strings are str, arrays lists, objects dicts.
//
// The parser keeps integers of up to 64 bits exactly, and refuses longer ones
// and numbers beyond the double range, which therefore never reach these rules.
//
// Each reading stores into `out` and returns true, or returns false and leaves
// `out` alone. (Returning optionals instead made GCC spill and reload them in
// pieces, which stalled the reading of every pointer sample.)

#include <simdjson.h>

#include <cstdint>
#include <string_view>

namespace veltrix::json {

namespace dom = simdjson::dom;

// Float reading: float(value) for floats, ints (rounded to nearest, ties to
// even, as CPython rounds them) and bools.
inline bool read_double(dom::element value, double& out) noexcept {
    if (value.get_double().get(out) == simdjson::SUCCESS) return true;
    bool flag = false;
    if (value.get_bool().get(flag) != simdjson::SUCCESS) return false;
    out = flag ? 1.0 : 0.0;
    return true;
}

// Integer reading: ints within the signed 64-bit range and bools; floats are
// refused, as they are by PyLong_AsLongLong.
inline bool read_i64(dom::element value, std::int64_t& out) noexcept {
    if (value.get_int64().get(out) == simdjson::SUCCESS) return true;
    bool flag = false;
    if (value.get_bool().get(flag) != simdjson::SUCCESS) return false;
    out = flag ? 1 : 0;
    return true;
}

// The bool rule: true and false only, never the ints 0 and 1.
inline bool read_flag(dom::element value, bool& out) noexcept { return value.get_bool().get(out) == simdjson::SUCCESS; }

// String reading: the UTF-8 text of a string, valid while the parsed document lives.
inline bool read_text(dom::element value, std::string_view& out) noexcept {
    return value.get_string().get(out) == simdjson::SUCCESS;
}

}  // namespace veltrix::json
