#include "video/VideoSourceError.h"

namespace ostrovane::video {

std::string VideoSourceError::description() const {
    switch (kind) {
        case Kind::targetNotFound:
            return "targetNotFound(\"" + text + "\")";
        case Kind::encoderCreationFailed:
            return "encoderCreationFailed(" + std::to_string(status) + ")";
        case Kind::permissionDenied:
            return "permissionDenied";
    }
    return {};
}

std::string describe(const VideoError& error) {
    if (const auto* own = std::get_if<VideoSourceError>(&error))
        return own->description();
    return std::get<platform::Error>(error).description();
}

}  // namespace ostrovane::video
