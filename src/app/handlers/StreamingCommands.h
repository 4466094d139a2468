#pragma once

#include <string>

#include "app/AppContext.h"
#include "app/ServiceSlots.h"
#include "streaming/SimpleAudioStreamer.h"

namespace ostrovane::app {

// The streamer as the app builds it: the app's channels and clock, and the
// default sources of the live capture services.
streaming::StreamerEnvironment streamerEnvironment(AppContext& context);

// Holds the command loop until the streamer has stopped (bounded, so a source
// that never reports back cannot hang the loop for ever).
void awaitStreamerStop(AppContext& context, streaming::SimpleAudioStreamer& streamer);

// START_STREAMING, TEST_WAV and STOP_STREAMING.
class StreamingCommands {
  public:
    StreamingCommands(AppContext& context, ServiceSlots& slots)
        : context_(context), slots_(slots) {}

    // Creates a streamer with the live sources and starts it; answers
    // "STREAMING:already_active" at once, or later "STREAMING:started" or
    // "STREAMING:failed:<reason>" from the streamer's thread.
    void startStreaming();

    // Streams the WAV file at `path` as both the microphone and the system
    // stream; answers "TEST_WAV:started:<path>" or "TEST_WAV:error:<reason>".
    void testWav(const std::string& path);

    // Stops and releases the streamer, if any; answers "STREAMING:stopped".
    void stopStreaming();

  private:
    AppContext& context_;
    ServiceSlots& slots_;
};

}  // namespace ostrovane::app
