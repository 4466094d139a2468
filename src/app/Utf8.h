#pragma once

#include <string>
#include <string_view>

namespace ostrovane::app {

// Returns `bytes` with every ill-formed UTF-8 sequence replaced by U+FFFD
// (one replacement per maximal ill-formed subpart). Well-formed input,
// including NUL bytes, comes back unchanged.
std::string repairUtf8(std::string_view bytes);

}  // namespace ostrovane::app
