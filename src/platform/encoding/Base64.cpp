#include "platform/encoding/Base64.h"

#include <array>

namespace ostrovane::platform {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::uint8_t kInvalid = 0xFF;

constexpr std::array<std::uint8_t, 256> makeDecodeTable() {
    std::array<std::uint8_t, 256> table{};
    table.fill(kInvalid);
    for (std::uint8_t i = 0; i < 64; ++i) {
        table[static_cast<unsigned char>(kAlphabet[i])] = i;
    }
    return table;
}

constexpr std::array<std::uint8_t, 256> kDecode = makeDecodeTable();

std::string encode(const std::uint8_t* in, std::size_t size) {
    std::string out((size + 2) / 3 * 4, '=');
    char* o = out.data();
    std::size_t i = 0;
    for (; i + 3 <= size; i += 3) {
        const std::uint32_t v =
            (std::uint32_t{in[i]} << 16) | (std::uint32_t{in[i + 1]} << 8) | in[i + 2];
        *o++ = kAlphabet[v >> 18];
        *o++ = kAlphabet[(v >> 12) & 63];
        *o++ = kAlphabet[(v >> 6) & 63];
        *o++ = kAlphabet[v & 63];
    }
    if (const std::size_t rest = size - i; rest > 0) {
        std::uint32_t v = std::uint32_t{in[i]} << 16;
        if (rest == 2)
            v |= std::uint32_t{in[i + 1]} << 8;
        o[0] = kAlphabet[v >> 18];
        o[1] = kAlphabet[(v >> 12) & 63];
        if (rest == 2)
            o[2] = kAlphabet[(v >> 6) & 63];
    }
    return out;
}

}  // namespace

std::string base64Encode(std::span<const std::uint8_t> bytes) {
    return encode(bytes.data(), bytes.size());
}

std::string base64Encode(std::string_view bytes) {
    return encode(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

std::optional<std::vector<std::uint8_t>> base64Decode(std::string_view text) {
    if (text.size() % 4 != 0)
        return std::nullopt;
    std::size_t padding = 0;
    if (!text.empty() && text.back() == '=')
        padding = text[text.size() - 2] == '=' ? 2 : 1;

    std::vector<std::uint8_t> out(text.size() / 4 * 3 - padding);
    std::size_t o = 0;
    const std::size_t fullQuads = text.size() / 4 - (padding > 0 ? 1 : 0);
    const auto* in = reinterpret_cast<const unsigned char*>(text.data());
    for (std::size_t q = 0; q < fullQuads; ++q, in += 4) {
        const std::uint8_t a = kDecode[in[0]], b = kDecode[in[1]], c = kDecode[in[2]],
                           d = kDecode[in[3]];
        // Every invalid character decodes to 0xFF, so one test catches them all.
        if (((a | b | c | d) & 0xC0) != 0)
            return std::nullopt;
        const std::uint32_t v =
            (std::uint32_t{a} << 18) | (std::uint32_t{b} << 12) | (std::uint32_t{c} << 6) | d;
        out[o++] = static_cast<std::uint8_t>(v >> 16);
        out[o++] = static_cast<std::uint8_t>(v >> 8);
        out[o++] = static_cast<std::uint8_t>(v);
    }
    if (padding > 0) {
        const std::uint8_t a = kDecode[in[0]], b = kDecode[in[1]];
        const std::uint8_t c = padding == 1 ? kDecode[in[2]] : 0;
        if (((a | b | c) & 0xC0) != 0)
            return std::nullopt;
        const std::uint32_t v =
            (std::uint32_t{a} << 18) | (std::uint32_t{b} << 12) | (std::uint32_t{c} << 6);
        // Canonical form: the bits below the last whole byte are zero.
        if ((padding == 2 && (v & 0xFFFF) != 0) || (padding == 1 && (v & 0xFF) != 0)) {
            return std::nullopt;
        }
        out[o++] = static_cast<std::uint8_t>(v >> 16);
        if (padding == 1)
            out[o++] = static_cast<std::uint8_t>(v >> 8);
    }
    return out;
}

}  // namespace ostrovane::platform
