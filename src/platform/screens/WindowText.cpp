#include "platform/screens/WindowText.h"

#include <cstdint>

#include "util/Utf8.h"

namespace ostrovane::platform {

std::string titleFromUtf8(std::string_view bytes) {
    return repairUtf8(bytes);
}

std::string titleFromLatin1(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (const char c : bytes) {
        const auto b = static_cast<std::uint8_t>(c);
        if (b < 0x80) {
            out += c;
        } else {
            out += static_cast<char>(0xC0 | (b >> 6));
            out += static_cast<char>(0x80 | (b & 0x3F));
        }
    }
    return out;
}

}  // namespace ostrovane::platform
