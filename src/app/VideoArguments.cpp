#include "app/VideoArguments.h"

#include <charconv>
#include <cmath>
#include <limits>

namespace ostrovane::app {

namespace {

using nlohmann::json;

constexpr double kTwo63 = 9223372036854775808.0;

const json* member(const json& object, const char* name) {
    auto it = object.find(name);
    return it == object.end() ? nullptr : &*it;
}

// A JSON integer (or a float with an integral value) as a signed integer;
// unsigned values beyond the signed range saturate so that range checks
// still refuse them.
std::optional<std::int64_t> integerValue(const json& value) {
    if (value.is_number_integer() && !value.is_number_unsigned())
        return value.get<std::int64_t>();
    if (value.is_number_unsigned()) {
        const auto u = value.get<std::uint64_t>();
        return u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())
                   ? std::numeric_limits<std::int64_t>::max()
                   : static_cast<std::int64_t>(u);
    }
    if (value.is_number_float()) {
        const double d = value.get<double>();
        if (std::isfinite(d) && d == std::trunc(d) && d >= -kTwo63 && d < kTwo63)
            return static_cast<std::int64_t>(d);
    }
    return std::nullopt;
}

std::int64_t integerOr(const json& object, const char* name, std::int64_t fallback) {
    const json* value = member(object, name);
    if (!value)
        return fallback;
    return integerValue(*value).value_or(fallback);
}

// Any number's value as the unsigned 64-bit integer it converts to (negative
// integers wrap, fractions are cut off); non-finite or huge floats give 0.
std::uint64_t unsignedValue(const json& value) {
    if (value.is_number_unsigned())
        return value.get<std::uint64_t>();
    if (value.is_number_integer())
        return static_cast<std::uint64_t>(value.get<std::int64_t>());
    const double d = std::trunc(value.get<double>());
    if (!std::isfinite(d))
        return 0;
    if (d >= 0 && d < 2 * kTwo63)
        return static_cast<std::uint64_t>(d);
    if (d < 0 && d >= -kTwo63)
        return static_cast<std::uint64_t>(static_cast<std::int64_t>(d));
    return 0;
}

}  // namespace

std::variant<json, JsonArgumentError> parseJsonObject(std::string_view argument) {
    json parsed;
    try {
        parsed = json::parse(argument);
    } catch (const json::exception& e) {
        return JsonArgumentError{JsonArgumentError::Kind::parseError, e.what()};
    }
    if (!parsed.is_object())
        return JsonArgumentError{JsonArgumentError::Kind::notAnObject, "invalid_json"};
    return parsed;
}

StartVideoArguments readStartVideo(const json& object) {
    StartVideoArguments out;
    if (const json* type = member(object, "type"); type && type->is_string())
        out.type = type->get<std::string>();
    if (const json* id = member(object, "id"); id && id->is_number())
        out.id = static_cast<std::uint32_t>(unsignedValue(*id));
    out.width = integerOr(object, "width", out.width);
    out.height = integerOr(object, "height", out.height);
    out.fps = integerOr(object, "fps", out.fps);
    out.bitrate = integerOr(object, "bitrate", out.bitrate);
    return out;
}

std::optional<std::string> invalidStartValue(const StartVideoArguments& a) {
    if (a.width < 1 || a.width > 65535)
        return "invalid_width";
    if (a.height < 1 || a.height > 65535)
        return "invalid_height";
    if (a.fps < 1 || a.fps > 255)
        return "invalid_fps";
    // The encoder's rate control counts whole kbit/s.
    if (a.bitrate < 1000)
        return "invalid_bitrate";
    return std::nullopt;
}

std::optional<std::uint32_t> readSwitchTargetId(const json& object) {
    const json* id = member(object, "id");
    if (!id || !id->is_number())
        return std::nullopt;
    std::optional<std::int64_t> value;
    if (id->is_number_float()) {
        const double d = std::trunc(id->get<double>());
        if (std::isfinite(d) && d >= -kTwo63 && d < kTwo63)
            value = static_cast<std::int64_t>(d);
    } else {
        value = integerValue(*id);
    }
    if (!value || *value < 1 || *value > 4294967295)
        return std::nullopt;
    return static_cast<std::uint32_t>(*value);
}

std::string readSwitchTargetType(const json& object) {
    const json* type = member(object, "type");
    return type && type->is_string() ? type->get<std::string>() : std::string();
}

std::int64_t readSnapshotWidth(std::string_view argument) {
    constexpr std::int64_t fallback = 320;
    const auto first = argument.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return fallback;
    argument = argument.substr(first, argument.find_last_not_of(" \t") - first + 1);
    if (argument.starts_with('+')) {
        argument.remove_prefix(1);
        if (argument.starts_with('-'))
            return fallback;
    }
    std::int64_t value = 0;
    const auto [end, error] =
        std::from_chars(argument.data(), argument.data() + argument.size(), value);
    if (error != std::errc() || end != argument.data() + argument.size())
        return fallback;
    return value;
}

}  // namespace ostrovane::app
