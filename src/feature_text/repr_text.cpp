#include "feature_text/repr_text.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <string_view>

namespace veltrix::text {
namespace {

// repr() switches to exponent notation for decimal exponents outside this range.
constexpr int kFirstFixedExponent = -4;
constexpr int kLastFixedExponent = 15;

// Room for the longest scientific form: sign, 17 digits, point, "e-308".
constexpr std::size_t kScientificCapacity = 32;

// The shortest round-trip digits of a finite double, without point or sign, and
// the decimal exponent of the first digit: value = d.ddd × 10^exponent.
struct ShortestDigits {
    std::array<char, kScientificCapacity> storage{};
    std::size_t count = 0;
    int exponent = 0;
    bool negative = false;

    [[nodiscard]] std::string_view digits() const { return {storage.data(), count}; }
};

ShortestDigits shortest_digits(double value) {
    std::array<char, kScientificCapacity> scientific{};
    const auto written =
        std::to_chars(scientific.data(), scientific.data() + scientific.size(), value, std::chars_format::scientific);
    ShortestDigits result;
    const char* cursor = scientific.data();
    if (*cursor == '-') {
        result.negative = true;
        ++cursor;
    }
    for (; *cursor != 'e'; ++cursor) {
        if (*cursor != '.') result.storage[result.count++] = *cursor;
    }
    ++cursor;  // 'e'
    const bool negative_exponent = *cursor == '-';
    ++cursor;  // the exponent's sign, always written
    std::from_chars(cursor, written.ptr, result.exponent);
    if (negative_exponent) result.exponent = -result.exponent;
    return result;
}

void append_exponent_notation(std::string& out, const ShortestDigits& number) {
    const std::string_view digits = number.digits();
    out += digits.front();
    if (digits.size() > 1) {
        out += '.';
        out += digits.substr(1);
    }
    out += number.exponent < 0 ? "e-" : "e+";
    const int magnitude = std::abs(number.exponent);
    if (magnitude < 10) out += '0';
    append_int_repr(out, magnitude);
}

void append_fixed_notation(std::string& out, const ShortestDigits& number) {
    const std::string_view digits = number.digits();
    if (number.exponent < 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-number.exponent - 1), '0');
        out += digits;
        return;
    }
    const auto whole_digits = static_cast<std::size_t>(number.exponent) + 1;
    if (whole_digits < digits.size()) {
        out += digits.substr(0, whole_digits);
        out += '.';
        out += digits.substr(whole_digits);
    } else {
        out += digits;
        out.append(whole_digits - digits.size(), '0');
        out += ".0";
    }
}

}  // namespace

void append_float_repr(std::string& out, double value) {
    if (std::isnan(value)) {
        out += "nan";  // whatever its sign
        return;
    }
    if (std::isinf(value)) {
        out += value < 0.0 ? "-inf" : "inf";
        return;
    }
    const ShortestDigits number = shortest_digits(value);
    if (number.negative) out += '-';
    if (number.exponent < kFirstFixedExponent || number.exponent > kLastFixedExponent) {
        append_exponent_notation(out, number);
    } else {
        append_fixed_notation(out, number);
    }
}

void append_int_repr(std::string& out, std::int64_t value) {
    std::array<char, 24> decimal{};  // 19 digits and a sign
    const auto written = std::to_chars(decimal.data(), decimal.data() + decimal.size(), value);
    out.append(decimal.data(), written.ptr);
}

}  // namespace veltrix::text
