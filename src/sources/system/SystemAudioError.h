#pragma once

#include <optional>
#include <string_view>

#include "platform/PlatformError.h"

namespace ostrovane::sources::system {

// Why the system-audio source could not start. The text of each case is its
// name; it reaches the host in failure responses.
enum class SystemAudioError {
    permissionDenied,      // screen recording was refused
    noDisplayFound,        // the shareable content listed no display
    streamCreationFailed,  // the capture stream could not be made
};

inline constexpr std::string_view kSystemAudioErrorDomain = "SystemAudioSource.SystemAudioError";

std::string_view description(SystemAudioError error);

// The error as the AudioSource contract carries it: the domain above, the
// case's position as code and its name as description.
platform::Error makeError(SystemAudioError error);

// The case an error was made from, or nothing for any other error.
std::optional<SystemAudioError> systemAudioErrorOf(const platform::Error& error);

}  // namespace ostrovane::sources::system
