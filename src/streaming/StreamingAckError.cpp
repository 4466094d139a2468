#include "streaming/StreamingAckError.h"

#include <string>

namespace ostrovane::streaming {

std::string_view description(StreamingAckError error) {
    switch (error) {
        case StreamingAckError::watchdogTimeout:
            return "system_audio_negotiation_timeout";
        case StreamingAckError::stoppedBeforeStart:
            return "stopped_before_start_completed";
    }
    return "unknown";
}

platform::Error makeError(StreamingAckError error) {
    return platform::Error{std::string(kStreamingAckErrorDomain), static_cast<std::int64_t>(error),
                           std::string(description(error))};
}

bool isStreamingAckError(const platform::Error& error, StreamingAckError which) {
    return error == makeError(which);
}

}  // namespace ostrovane::streaming
