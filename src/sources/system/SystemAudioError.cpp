#include "sources/system/SystemAudioError.h"

#include <string>

namespace ostrovane::sources::system {

std::string_view description(SystemAudioError error) {
    switch (error) {
        case SystemAudioError::permissionDenied:
            return "permissionDenied";
        case SystemAudioError::noDisplayFound:
            return "noDisplayFound";
        case SystemAudioError::streamCreationFailed:
            return "streamCreationFailed";
    }
    return "unknown";
}

platform::Error makeError(SystemAudioError error) {
    return platform::Error{std::string(kSystemAudioErrorDomain), static_cast<std::int64_t>(error),
                           std::string(description(error))};
}

std::optional<SystemAudioError> systemAudioErrorOf(const platform::Error& error) {
    if (error.domain != kSystemAudioErrorDomain)
        return std::nullopt;
    switch (error.code) {
        case static_cast<std::int64_t>(SystemAudioError::permissionDenied):
            return SystemAudioError::permissionDenied;
        case static_cast<std::int64_t>(SystemAudioError::noDisplayFound):
            return SystemAudioError::noDisplayFound;
        case static_cast<std::int64_t>(SystemAudioError::streamCreationFailed):
            return SystemAudioError::streamCreationFailed;
        default:
            return std::nullopt;
    }
}

}  // namespace ostrovane::sources::system
