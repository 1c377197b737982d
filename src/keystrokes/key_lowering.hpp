#pragma once
// Folds a key label to the one character a digraph is built from.

#include <optional>
#include <string_view>

namespace veltrix {

// The key's full Unicode default lowercase form when that form is a single byte
// (one ASCII character); nullopt for key names, empty keys and every other
// character. Lowering never shortens a text, so only single ASCII bytes and the
// Kelvin sign (which lowers to "k") can qualify; no Unicode tables are needed.
std::optional<char> lower_to_single_byte(std::string_view key) noexcept;

}  // namespace veltrix
