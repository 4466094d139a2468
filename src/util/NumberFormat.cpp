#include "util/NumberFormat.h"

#include <array>
#include <charconv>
#include <cmath>

namespace ostrovane {

std::string shortestDecimal(double value) {
    if (!std::isfinite(value))
        return std::isnan(value) ? "nan" : (value > 0 ? "inf" : "-inf");
    // Fixed notation of a double needs at most 309 integer digits plus the
    // shortest fraction.
    std::array<char, 400> buffer;
    auto [end, ec] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                   std::chars_format::fixed);
    std::string text(buffer.data(), ec == std::errc{} ? end : buffer.data());
    if (text.find('.') == std::string::npos)
        text += ".0";
    return text;
}

}  // namespace ostrovane
