#pragma once

#include <string>
#include <string_view>

namespace ostrovane::platform {

// Window titles come from other programs: _NET_WM_NAME should be UTF-8 but is
// not checked by anyone, and WM_NAME of type STRING is Latin-1. Titles leave
// the helper inside JSON, so both become well-formed UTF-8 here (ill-formed
// bytes as repairUtf8 replaces them).
std::string titleFromUtf8(std::string_view bytes);
std::string titleFromLatin1(std::string_view bytes);

}  // namespace ostrovane::platform
