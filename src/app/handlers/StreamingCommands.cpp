#include "app/handlers/StreamingCommands.h"

#include <future>
#include <memory>

#include "sources/test/FileURL.h"
#include "sources/test/WAVFileSource.h"

namespace ostrovane::app {

namespace {

using FrameType = protocol::AudioProtocol::FrameType;

// Waits for a completion signalled through `done`; false when the limit passed.
bool awaitSignal(std::future<void>& done) {
    return done.wait_for(StreamingCommands::kAwaitLimit) == std::future_status::ready;
}

}  // namespace

streaming::StreamerEnvironment streamerEnvironment(AppContext& context) {
    return streaming::StreamerEnvironment{context.text, context.frames, context.clock, {}, {}};
}

void awaitStreamerStop(AppContext& context, streaming::SimpleAudioStreamer& streamer) {
    auto done = std::make_shared<std::promise<void>>();
    auto finished = done->get_future();
    streamer.stop([done] { done->set_value(); });
    if (!awaitSignal(finished))
        context.text.logToStderr("Streamer stop did not complete in time, going on");
}

void StreamingCommands::testWav(const std::string& path) {
    context_.text.logToStderr("TEST_WAV command: path=" + path);
    if (slots_.streamer) {
        context_.text.sendCommandResponse("TEST_WAV:error:streamer_already_active");
        return;
    }
    const std::string url = sources::fileURLPath(path);
    context_.text.logToStderr("Creating WAV file sources from " + sources::lastPathComponent(url) +
                              "...");
    auto fail = [&](const platform::Error& error) {
        context_.text.logToStderr("TEST_WAV error: " + error.localizedDescription());
        context_.text.sendCommandResponse("TEST_WAV:error:" + error.localizedDescription());
    };
    auto mic = sources::WAVFileSource::create(url, FrameType::mic, context_.clock, context_.text);
    if (!mic) {
        fail(mic.error());
        return;
    }
    auto system =
        sources::WAVFileSource::create(url, FrameType::system, context_.clock, context_.text);
    if (!system) {
        fail(system.error());
        return;
    }

    context_.text.logToStderr("Creating streamer with injected test sources...");
    auto streamer = streaming::SimpleAudioStreamer::create(streamerEnvironment(context_),
                                                           mic.value(), system.value());
    auto acknowledged = std::make_shared<std::promise<void>>();
    auto ack = acknowledged->get_future();
    streamer->start([acknowledged](const platform::MaybeError&) { acknowledged->set_value(); });
    if (!awaitSignal(ack))
        context_.text.logToStderr("Streamer start was not acknowledged in time, going on");
    context_.text.sendCommandResponse("TEST_WAV:started:" + path);
    slots_.streamer = std::move(streamer);
}

void StreamingCommands::stopStreaming() {
    context_.text.logToStderr("Stopping streaming, keeping mic monitoring...");
    if (slots_.streamer)
        awaitStreamerStop(context_, *slots_.streamer);
    slots_.streamer.reset();
    ensureMonitoring();
    context_.text.sendCommandResponse("STREAMING:stopped");
}

}  // namespace ostrovane::app
