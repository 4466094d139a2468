#include "util/Utf8.h"

namespace ostrovane {

namespace {
constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
}  // namespace

int utf8SequenceAt(std::string_view bytes, std::size_t i) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    if (lead < 0x80)
        return 1;
    int need = 0;
    unsigned char low = 0x80, high = 0xBF;  // the second byte's range
    if (lead >= 0xC2 && lead <= 0xDF) {
        need = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        need = 2;
        low = lead == 0xE0 ? 0xA0 : 0x80;   // no overlong forms
        high = lead == 0xED ? 0x9F : 0xBF;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        need = 3;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;  // nothing beyond U+10FFFF
    } else {
        return -1;
    }
    int taken = 1;
    for (int k = 0; k < need; ++k, ++taken) {
        const std::size_t j = i + 1 + static_cast<std::size_t>(k);
        if (j >= bytes.size())
            return -taken;
        const auto next = static_cast<unsigned char>(bytes[j]);
        if (k == 0 ? (next < low || next > high) : (next & 0xC0) != 0x80)
            return -taken;
    }
    return taken;
}

bool isValidUtf8(std::string_view bytes) {
    for (std::size_t i = 0; i < bytes.size();) {
        const int n = utf8SequenceAt(bytes, i);
        if (n < 0)
            return false;
        i += static_cast<std::size_t>(n);
    }
    return true;
}

std::string repairUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size();) {
        const int n = utf8SequenceAt(bytes, i);
        if (n > 0)
            out.append(bytes.substr(i, static_cast<std::size_t>(n)));
        else
            out.append(kReplacement);
        i += static_cast<std::size_t>(n > 0 ? n : -n);
    }
    return out;
}

}  // namespace ostrovane
