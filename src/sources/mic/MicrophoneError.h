#pragma once

#include <optional>
#include <string_view>

#include "platform/PlatformError.h"

namespace ostrovane::sources::mic {

// Why the microphone source could not start. The text of each case is its
// name; it reaches the host's failure responses.
enum class MicrophoneError {
    permissionDenied,    // recording permission was refused
    sessionStartFailed,  // the session could not be configured or did not run
};

inline constexpr std::string_view kMicrophoneErrorDomain = "MicrophoneSource.MicrophoneError";

std::string_view description(MicrophoneError error);

// The error as the AudioSource contract carries it: the domain above, the
// case's position as code and its name as description.
platform::Error makeError(MicrophoneError error);

// The case an error was made from, or nothing for any other error.
std::optional<MicrophoneError> microphoneErrorOf(const platform::Error& error);

}  // namespace ostrovane::sources::mic
