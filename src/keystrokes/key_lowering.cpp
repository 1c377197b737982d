#include "keystrokes/key_lowering.hpp"

namespace veltrix {
namespace {

// U+212A KELVIN SIGN in UTF-8: the one non-ASCII character whose lowercase
// form is a single ASCII letter.
constexpr std::string_view kKelvinSign = "\xE2\x84\xAA";
constexpr char kKelvinLowercase = 'k';

constexpr unsigned char kFirstNonAsciiByte = 0x80;

constexpr char lower_ascii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

std::optional<char> lower_to_single_byte(std::string_view key) noexcept {
    if (key == kKelvinSign) {
        return kKelvinLowercase;
    }
    // A lone byte at or above 0x80 is not a character in UTF-8 at all.
    if (key.size() != 1 || static_cast<unsigned char>(key.front()) >= kFirstNonAsciiByte) {
        return std::nullopt;
    }
    return lower_ascii(key.front());
}

}  // namespace veltrix
