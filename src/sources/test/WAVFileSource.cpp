#include "sources/test/WAVFileSource.h"

#include <vector>

#include "sources/test/FileURL.h"
#include "streaming/AudioOutputFormat.h"

namespace ostrovane::sources {

namespace {
std::string makeSourceID(protocol::AudioProtocol::FrameType type) {
    return type == protocol::AudioProtocol::FrameType::mic ? "wav_mic" : "wav_system";
}
}  // namespace

platform::Result<std::shared_ptr<WAVFileSource>> WAVFileSource::create(
    const std::string& wavPath, FrameType frameType, dispatch::Clock& clock,
    protocol::TextChannel& text) {
    auto file = readWholeFile(wavPath);
    if (!file)
        return file.error();
    auto parsed = parseWAV(file.value());
    if (auto* error = std::get_if<WAVError>(&parsed))
        return error->toError();
    auto source = std::make_shared<WAVFileSource>(
        Passkey{}, wavPath, frameType, std::move(std::get<WAVContents>(parsed)), clock, text);
    const WAVContents& c = source->contents();
    source->log("loaded " + lastPathComponent(wavPath) + " - " + std::to_string(c.sampleRate) +
                "Hz, " + std::to_string(c.channels) + "ch, " + std::to_string(c.bitsPerSample) +
                "-bit, " + std::to_string(c.pcmData.size()) + " bytes PCM");
    return source;
}

WAVFileSource::WAVFileSource(Passkey, std::string wavPath, FrameType frameType,
                             WAVContents contents, dispatch::Clock& clock,
                             protocol::TextChannel& text)
    : sourceID_(makeSourceID(frameType)),
      frameType_(frameType),
      wavPath_(std::move(wavPath)),
      contents_(std::move(contents)),
      clock_(clock),
      text_(text) {}

WAVFileSource::~WAVFileSource() {
    std::unique_ptr<dispatch::BackgroundTask> task;
    {
        std::lock_guard guard(taskLock_);
        task = std::move(_playbackTask);
    }
}

void WAVFileSource::log(const std::string& message) const {
    text_.logToStderr("WAVFileSource[" + sourceID_ + "]: " + message);
}

void WAVFileSource::start(StartCompletion completion) {
    if (active_.exchange(true)) {
        log("already active");
    } else {
        {
            // A loop still winding down from an earlier start ends first, so
            // two never run at once.
            std::unique_ptr<dispatch::BackgroundTask> previous;
            {
                std::lock_guard guard(taskLock_);
                previous = std::move(_playbackTask);
            }
        }
        auto task = std::make_unique<dispatch::BackgroundTask>(
            clock_, "wav." + sourceID_,
            [weak = weak_from_this()](dispatch::BackgroundTask::Context& context) {
                playbackLoop(weak, context);
            });
        {
            std::lock_guard guard(taskLock_);
            _playbackTask = std::move(task);
        }
        log("started");
    }
    if (completion)
        completion(std::nullopt);
}

void WAVFileSource::stop(StopCompletion completion) {
    {
        // The task object stays until the next start or the end of the
        // source, so stop() never waits for the loop to wind down.
        std::lock_guard guard(taskLock_);
        if (_playbackTask)
            _playbackTask->requestStop();
    }
    active_.store(false);
    log("stopped");
    if (completion)
        completion();
}

void WAVFileSource::playbackLoop(const std::weak_ptr<WAVFileSource>& weak,
                                 dispatch::BackgroundTask::Context& context) {
    std::int64_t inputFrameSize = 0;
    {
        auto self = weak.lock();
        if (!self)
            return;
        inputFrameSize = self->contents_.inputFrameSize();
        self->log("playback loop starting, inputFrameSize=" + std::to_string(inputFrameSize) +
                  " bytes");
    }
    std::size_t readOffset = 0;
    std::uint64_t frameCount = 0;
    std::vector<std::uint8_t> output;
    const auto frameSize = static_cast<std::size_t>(inputFrameSize);
    const auto frameDuration = dispatch::Duration(
        static_cast<std::int64_t>(streaming::AudioOutputFormat::frameDurationNanos));
    for (;;) {
        {
            // Held for one frame only: a released source ends its loop.
            auto self = weak.lock();
            if (!self)
                return;
            const auto stillPlaying = [&] { return !context.stopRequested() && self->isActive(); };
            if (!stillPlaying())
                break;
            const std::vector<std::uint8_t>& pcm = self->contents_.pcmData;
            if (readOffset + frameSize > pcm.size()) {
                self->log("looping file at frame " + std::to_string(frameCount));
                readOffset = 0;
                if (!stillPlaying())
                    break;
            }
            // The file holds at least one whole frame, so this one is whole.
            convertToOutputFormat(self->contents_, std::span(pcm).subspan(readOffset, frameSize),
                                  output);
            self->deliverAudio(output);
            ++frameCount;
            readOffset += frameSize;
            if (frameCount == 1 || frameCount % kEmittedLogInterval == 0) {
                self->log("emitted frame " + std::to_string(frameCount) +
                          ", outputSize=" + std::to_string(output.size()) + " bytes");
            }
        }
        // A fixed delay after each frame, not a deadline. A stop cuts it short
        // and the check above ends the loop.
        context.sleepFor(frameDuration);
    }
    if (auto self = weak.lock())
        self->log("playback loop ended at frame " + std::to_string(frameCount));
}

}  // namespace ostrovane::sources
