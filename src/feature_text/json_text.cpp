#include "feature_text/json_text.hpp"

#include <cmath>

#include "feature_text/repr_text.hpp"

namespace veltrix::text {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";
constexpr std::uint32_t kFirstAstralCodePoint = 0x10000;

void append_unicode_escape(std::string& out, std::uint32_t code_unit) {
    out += "\\u";
    for (int shift = 12; shift >= 0; shift -= 4) out += kHexDigits[(code_unit >> shift) & 0xF];
}

void append_escaped(std::string& out, std::uint32_t code_point) {
    switch (code_point) {
        case '\\': out += "\\\\"; return;
        case '"': out += "\\\""; return;
        case '\b': out += "\\b"; return;
        case '\f': out += "\\f"; return;
        case '\n': out += "\\n"; return;
        case '\r': out += "\\r"; return;
        case '\t': out += "\\t"; return;
        default: break;
    }
    if (code_point >= kFirstAstralCodePoint) {
        const std::uint32_t offset = code_point - kFirstAstralCodePoint;
        append_unicode_escape(out, 0xD800 | (offset >> 10));
        append_unicode_escape(out, 0xDC00 | (offset & 0x3FF));
    } else {
        append_unicode_escape(out, code_point);
    }
}

}  // namespace

void append_json_float(std::string& out, double value) {
    if (std::isnan(value)) {
        out += "NaN";
    } else if (std::isinf(value)) {
        out += value < 0.0 ? "-Infinity" : "Infinity";
    } else {
        append_float_repr(out, value);
    }
}

template <class CodeUnit>
void append_json_string(std::string& out, const CodeUnit* units, std::size_t count) {
    out += '"';
    for (std::size_t index = 0; index < count; ++index) {
        const std::uint32_t code_point = units[index];
        if (code_point >= ' ' && code_point <= '~' && code_point != '\\' && code_point != '"') {
            out += static_cast<char>(code_point);
        } else {
            append_escaped(out, code_point);
        }
    }
    out += '"';
}

template void append_json_string(std::string&, const std::uint8_t*, std::size_t);
template void append_json_string(std::string&, const std::uint16_t*, std::size_t);
template void append_json_string(std::string&, const std::uint32_t*, std::size_t);

}  // namespace veltrix::text
