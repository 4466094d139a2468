#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include <nlohmann/json.hpp>

namespace ostrovane::app {

// Why a JSON argument was refused: it did not parse (with the parser's
// description), or it parsed to something other than an object.
struct JsonArgumentError {
    enum class Kind { parseError, notAnObject };
    Kind kind;
    std::string description;
};

// The argument of START_VIDEO or SWITCH_VIDEO as a JSON object.
std::variant<nlohmann::json, JsonArgumentError> parseJsonObject(std::string_view argument);

// START_VIDEO's members, with their defaults for absent or mistyped ones.
struct StartVideoArguments {
    std::string type = "display";
    std::uint32_t id = 0;  // the low 32 bits of the number's unsigned value
    std::int64_t width = 1920;
    std::int64_t height = 1080;
    std::int64_t fps = 10;
    std::int64_t bitrate = 2'000'000;
};

StartVideoArguments readStartVideo(const nlohmann::json& object);

// The reason ("invalid_width", "invalid_height", "invalid_fps",
// "invalid_bitrate") when a value cannot be captured or does not fit the
// video frame header: sides 1..65535, 1..255 frames per second, a bit rate
// of at least 1.
std::optional<std::string> invalidStartValue(const StartVideoArguments& arguments);

// SWITCH_VIDEO's "id" as a target identifier: a number whose integer value
// lies in 1..4294967295; nothing otherwise.
std::optional<std::uint32_t> readSwitchTargetId(const nlohmann::json& object);

// SWITCH_VIDEO's "type", or the empty string when absent or not a string.
std::string readSwitchTargetType(const nlohmann::json& object);

// SNAPSHOT_NOW's maximum width: the argument without surrounding spaces and
// tabs as a decimal integer, else 320.
std::int64_t readSnapshotWidth(std::string_view argument);

}  // namespace ostrovane::app
