#pragma once

#include <functional>
#include <memory>

#include "dispatch/Clock.h"
#include "protocol/FrameWriter.h"
#include "protocol/TextChannel.h"
#include "streaming/AudioSource.h"

namespace ostrovane::streaming {

// What a streamer is built with: the channels it writes to, its clock, and
// where its default sources come from. The live microphone and system-audio
// sources build on this library, so they reach the streamer only through
// these factories. A factory that is empty or returns null leaves its slot
// empty. The channels and the clock must outlive the streamer.
struct StreamerEnvironment {
    using SourceFactory = std::function<std::shared_ptr<AudioSource>()>;

    protocol::TextChannel& text;
    protocol::FrameWriter& frames;
    dispatch::Clock& clock;
    SourceFactory makeMicSource;
    SourceFactory makeSystemSource;
};

}  // namespace ostrovane::streaming
