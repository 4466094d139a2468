#include "sources/mic/MicText.h"

#include <charconv>

namespace ostrovane::sources::mic {

std::string rateText(double rate) {
    char text[64];
    auto [end, error] = std::to_chars(text, text + sizeof text, rate);
    std::string out = error == std::errc{} ? std::string(text, end) : std::to_string(rate);
    if (out.find_first_of(".en") == std::string::npos)
        out += ".0";
    return out;
}

std::string fixedText(double value, int decimals) {
    char text[400];
    auto [end, error] =
        std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals);
    return error == std::errc{} ? std::string(text, end) : std::to_string(value);
}

}  // namespace ostrovane::sources::mic
