#pragma once

#include <string_view>

#include "platform/PlatformError.h"

namespace ostrovane::streaming {

// Why a streaming start was acknowledged with a failure of the streamer's
// own. The description is what the host puts in its failure answer.
enum class StreamingAckError { watchdogTimeout, stoppedBeforeStart };

inline constexpr std::string_view kStreamingAckErrorDomain =
    "SimpleAudioStreamer.StreamingAckError";

std::string_view description(StreamingAckError error);

// As the system's error currency: the description is the message.
platform::Error makeError(StreamingAckError error);

// True when `error` is this case of StreamingAckError.
bool isStreamingAckError(const platform::Error& error, StreamingAckError which);

}  // namespace ostrovane::streaming
