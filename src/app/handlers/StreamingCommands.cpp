#include "app/handlers/StreamingCommands.h"

#include <algorithm>
#include <memory>

#include "app/handlers/AwaitCompletion.h"
#include "app/handlers/MonitoringCommands.h"
#include "sources/mic/MicrophoneSource.h"
#include "sources/system/SystemAudioSource.h"
#include "sources/test/FileURL.h"
#include "sources/test/WAVFileSource.h"

namespace ostrovane::app {

namespace {

using FrameType = protocol::AudioProtocol::FrameType;

}  // namespace

streaming::StreamerEnvironment streamerEnvironment(AppContext& context) {
    // The live sources need their platform services; a platform without them
    // (a machine with no audio provider) leaves that slot empty.
    const platform::Platform& p = context.platform;
    streaming::StreamerEnvironment::SourceFactory mic;
    if (p.audioCapture && p.audioHardware) {
        mic = [&context]() -> std::shared_ptr<streaming::AudioSource> {
            const platform::Platform& p = context.platform;
            return sources::mic::MicrophoneSource::create(
                {p.audioCapture, p.audioHardware, context.text, context.clock});
        };
    }
    streaming::StreamerEnvironment::SourceFactory system;
    if (p.screenCapture) {
        system = [&context]() -> std::shared_ptr<streaming::AudioSource> {
            const platform::Platform& p = context.platform;
            return sources::system::SystemAudioSource::create(
                {p.screenCapture, p.applications, context.text, context.clock});
        };
    }
    return streaming::StreamerEnvironment{context.text, context.frames, context.clock,
                                          std::move(mic), std::move(system)};
}

void StreamingCommands::startStreaming() {
    ensureMonitoring(context_, slots_);
    if (slots_.streamer) {
        context_.text.sendCommandResponse("STREAMING:already_active");
        return;
    }
    context_.text.logToStderr("Starting streaming mode...");
    slots_.streamer = streaming::SimpleAudioStreamer::create(streamerEnvironment(context_));
    // The answer comes from the streamer's thread once the start is decided;
    // the loop goes on at once. The text channel outlives every streamer.
    slots_.streamer->start([&text = context_.text](const platform::MaybeError& error) {
        if (!error) {
            text.sendCommandResponse("STREAMING:started");
            return;
        }
        text.sendCommandResponse("STREAMING:failed:" + error->localizedDescription());
    });
}

void awaitStreamerStop(AppContext& context, streaming::SimpleAudioStreamer& streamer) {
    if (!awaitSignal([&streamer](auto done) { streamer.stop(std::move(done)); }))
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
    auto contents = sources::WAVFileSource::load(url);
    if (!contents) {
        fail(contents.error());
        return;
    }
    // Both sources play one shared copy of the samples.
    auto mic = sources::WAVFileSource::create(url, contents.value(), FrameType::mic, context_.clock,
                                              context_.text);
    auto system = sources::WAVFileSource::create(url, std::move(contents).value(),
                                                 FrameType::system, context_.clock, context_.text);

    context_.text.logToStderr("Creating streamer with injected test sources...");
    auto streamer =
        streaming::SimpleAudioStreamer::create(streamerEnvironment(context_), mic, system);
    if (!awaitSignal([&streamer](auto done) { streamer->start(std::move(done)); }))
        context_.text.logToStderr("Streamer start was not acknowledged in time, going on");
    context_.text.sendCommandResponse("TEST_WAV:started:" + path);
    slots_.streamer = std::move(streamer);
}

void StreamingCommands::stopStreaming() {
    context_.text.logToStderr("Stopping streaming, keeping mic monitoring...");
    if (slots_.streamer)
        awaitStreamerStop(context_, *slots_.streamer);
    slots_.streamer.reset();
    ensureMonitoring(context_, slots_);
    context_.text.sendCommandResponse("STREAMING:stopped");
}

}  // namespace ostrovane::app
