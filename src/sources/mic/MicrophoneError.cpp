#include "sources/mic/MicrophoneError.h"

#include <string>

namespace ostrovane::sources::mic {

std::string_view description(MicrophoneError error) {
    switch (error) {
        case MicrophoneError::permissionDenied:
            return "permissionDenied";
        case MicrophoneError::sessionStartFailed:
            return "sessionStartFailed";
    }
    return "unknown";
}

platform::Error makeError(MicrophoneError error) {
    return platform::Error{std::string(kMicrophoneErrorDomain), static_cast<std::int64_t>(error),
                           std::string(description(error))};
}

std::optional<MicrophoneError> microphoneErrorOf(const platform::Error& error) {
    if (error.domain != kMicrophoneErrorDomain)
        return std::nullopt;
    switch (error.code) {
        case static_cast<std::int64_t>(MicrophoneError::permissionDenied):
            return MicrophoneError::permissionDenied;
        case static_cast<std::int64_t>(MicrophoneError::sessionStartFailed):
            return MicrophoneError::sessionStartFailed;
        default:
            return std::nullopt;
    }
}

}  // namespace ostrovane::sources::mic
