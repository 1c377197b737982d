#pragma once
// JSON text as Python's json module writes it by default (ensure_ascii and
// allow_nan): floats in repr() form but NaN, Infinity and -Infinity for the
// non-finite ones; strings in double quotes with every character outside
// printable ASCII escaped (\n-style where JSON has a short escape, \u00XX
// otherwise, characters beyond the BMP as a surrogate pair, lone surrogates as
// themselves), so the text is pure ASCII.

#include <cstddef>
#include <cstdint>
#include <string>

namespace veltrix::text {

void append_json_float(std::string& out, double value);

// Appends the string of code points units[0..count) (Python's 1-, 2- or 4-byte storage).
template <class CodeUnit>
void append_json_string(std::string& out, const CodeUnit* units, std::size_t count);

extern template void append_json_string(std::string&, const std::uint8_t*, std::size_t);
extern template void append_json_string(std::string&, const std::uint16_t*, std::size_t);
extern template void append_json_string(std::string&, const std::uint32_t*, std::size_t);

}  // namespace veltrix::text
