#pragma once
// One key press as the keystroke analysis sees it. Plain data, no interpreter.

#include <optional>
#include <string_view>

#include "keystrokes/key_lowering.hpp"

namespace veltrix {

// What the analysis needs of a key's label: the one character it contributes to
// digraphs, if any. Keeping that instead of the text makes a record's size
// independent of how long a label the browser (or an attacker) sent.
class KeyLabel {
  public:
    KeyLabel() noexcept = default;  // an empty label
    KeyLabel(std::string_view text) noexcept : digraph_character_(lower_to_single_byte(text)) {}
    KeyLabel(const char* text) noexcept : KeyLabel(std::string_view(text)) {}

    // The label's lowercase form when that is one ASCII character; nothing for
    // key names (Shift, Enter), empty labels and other characters.
    std::optional<char> digraph_character() const noexcept { return digraph_character_; }

  private:
    std::optional<char> digraph_character_;
};

// The label of a key press whose entry gives no readable key text.
inline constexpr std::string_view kUnknownKeyLabel = "unknown";

struct KeystrokeRecord {
    KeyLabel key;              // label as reported by the browser; may be empty
    double down = 0.0;         // press time, milliseconds, any common origin
    std::optional<double> up;  // release time, when the source gave one
};

}  // namespace veltrix
