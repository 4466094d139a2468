#include "app/Utf8.h"

namespace ostrovane::app {

namespace {
constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

bool isContinuation(unsigned char c) {
    return (c & 0xC0) == 0x80;
}

// Length of the well-formed sequence starting at `i`, or the length of the
// maximal ill-formed subpart (negated) when it is not well formed.
int sequenceAt(std::string_view s, std::size_t i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80)
        return 1;
    int need;
    unsigned char lo = 0x80, hi = 0xBF;  // range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        need = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
        need = 2;
        if (c == 0xE0)
            lo = 0xA0;
        if (c == 0xED)
            hi = 0x9F;  // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        need = 3;
        if (c == 0xF0)
            lo = 0x90;
        if (c == 0xF4)
            hi = 0x8F;
    } else {
        return -1;
    }
    int taken = 1;
    for (int k = 0; k < need; ++k) {
        const std::size_t j = i + 1 + k;
        if (j >= s.size())
            return -taken;
        const auto b = static_cast<unsigned char>(s[j]);
        const bool ok = k == 0 ? (b >= lo && b <= hi) : isContinuation(b);
        if (!ok)
            return -taken;
        ++taken;
    }
    return taken;
}
}  // namespace

std::string repairUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    std::size_t i = 0;
    while (i < bytes.size()) {
        const int n = sequenceAt(bytes, i);
        if (n > 0) {
            out.append(bytes.substr(i, static_cast<std::size_t>(n)));
            i += static_cast<std::size_t>(n);
        } else {
            out.append(kReplacement);
            i += static_cast<std::size_t>(-n);
        }
    }
    return out;
}

}  // namespace ostrovane::app
