#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "platform/PlatformError.h"

namespace ostrovane::video {

// Why the video source refused or failed an operation.
struct VideoSourceError {
    enum class Kind { targetNotFound, encoderCreationFailed, permissionDenied };

    Kind kind = Kind::targetNotFound;
    std::string text;         // targetNotFound: why
    std::int32_t status = 0;  // encoderCreationFailed: the encoder service's status

    static VideoSourceError targetNotFound(std::string why) {
        return {Kind::targetNotFound, std::move(why), 0};
    }
    static VideoSourceError encoderCreationFailed(std::int32_t status) {
        return {Kind::encoderCreationFailed, {}, status};
    }

    // The case name, and its payload in parentheses (text in double quotes):
    // targetNotFound("Display 0 not found"), encoderCreationFailed(-12902).
    std::string description() const;
    bool operator==(const VideoSourceError&) const = default;
};

// What a video operation fails with: the source's own error, or the
// screen-capture service's, passed on as it came.
using VideoError = std::variant<VideoSourceError, platform::Error>;

// The text a command answer carries for `error`.
std::string describe(const VideoError& error);

}  // namespace ostrovane::video
