#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ostrovane::platform {

// Standard Base64 (RFC 4648 alphabet "A-Za-z0-9+/") with '=' padding, no
// line breaks.
std::string base64Encode(std::span<const std::uint8_t> bytes);
std::string base64Encode(std::string_view bytes);

// Nothing for input that is not canonical padded Base64: a length that is not
// a multiple of 4, a character outside the alphabet (whitespace included),
// misplaced padding, or non-zero bits left over in the last character.
std::optional<std::vector<std::uint8_t>> base64Decode(std::string_view text);

}  // namespace ostrovane::platform
