#include "sources/test/WAVFileSource.h"

#include <vector>

#include "sources/test/FileURL.h"
#include "streaming/AudioOutputFormat.h"
#include "util/ThreadAnnotations.h"

namespace ostrovane::sources {

namespace {
std::string makeSourceID(protocol::AudioProtocol::FrameType type) {
    return type == protocol::AudioProtocol::FrameType::mic ? "wav_mic" : "wav_system";
}
}  // namespace

platform::Result<WAVContents> WAVFileSource::load(const std::string& wavPath) {
    auto file = readWholeFile(wavPath);
    if (!file)
        return file.error();
    // The read buffer becomes the samples' storage: the file is in memory once.
    auto parsed = parseWAV(std::move(file).value());
    if (auto* error = std::get_if<WAVError>(&parsed))
        return error->toError();
    return std::get<WAVContents>(std::move(parsed));
}

platform::Result<std::shared_ptr<WAVFileSource>> WAVFileSource::create(
    const std::string& wavPath, FrameType frameType, dispatch::Clock& clock,
    protocol::TextChannel& text) {
    auto contents = load(wavPath);
    if (!contents)
        return contents.error();
    return create(wavPath, std::move(contents).value(), frameType, clock, text);
}

std::shared_ptr<WAVFileSource> WAVFileSource::create(const std::string& wavPath,
                                                     WAVContents contents, FrameType frameType,
                                                     dispatch::Clock& clock,
                                                     protocol::TextChannel& text) {
    auto source = std::make_shared<WAVFileSource>(Key{}, wavPath, frameType, std::move(contents),
                                                  clock, text);
    const WAVContents& c = source->contents();
    source->log("loaded " + lastPathComponent(wavPath) + " - " + std::to_string(c.sampleRate) +
                "Hz, " + std::to_string(c.channels) + "ch, " + std::to_string(c.bitsPerSample) +
                "-bit, " + std::to_string(c.pcmData.size()) + " bytes PCM");
    return source;
}

WAVFileSource::WAVFileSource(Key, std::string wavPath, FrameType frameType, WAVContents contents,
                             dispatch::Clock& clock, protocol::TextChannel& text)
    : sourceID_(makeSourceID(frameType)),
      frameType_(frameType),
      wavPath_(std::move(wavPath)),
      contents_(std::move(contents)),
      clock_(clock),
      text_(text) {}

WAVFileSource::~WAVFileSource() {
    std::unique_ptr<dispatch::BackgroundTask> task;
    std::shared_ptr<streaming::LoopEnd> end;
    {
        util::MutexLock guard(taskLock_);
        task = std::move(_playbackTask);
        end = std::move(_playbackEnd);
    }
    // The loop writes only while it holds the source, which it can no longer
    // do: its end line is ours if it is left. Written before the loop is
    // joined (or let go, when the loop itself dropped the last reference).
    if (end && end->claim())
        log("playback loop ended at frame " + std::to_string(end->count()));
    task.reset();
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
            std::shared_ptr<streaming::LoopEnd> previousEnd;
            {
                util::MutexLock guard(taskLock_);
                previous = std::move(_playbackTask);
                previousEnd = std::move(_playbackEnd);
            }
            previous.reset();
            if (previousEnd && previousEnd->claim())
                log("playback loop ended at frame " + std::to_string(previousEnd->count()));
        }
        auto end = std::make_shared<streaming::LoopEnd>();
        auto task = std::make_unique<dispatch::BackgroundTask>(
            clock_, "wav." + sourceID_,
            [weak = weak_from_this(), end](dispatch::BackgroundTask::Context& context) {
                playbackLoop(weak, *end, context);
            });
        {
            util::MutexLock guard(taskLock_);
            _playbackTask = std::move(task);
            _playbackEnd = std::move(end);
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
        util::MutexLock guard(taskLock_);
        if (_playbackTask)
            _playbackTask->requestStop();
    }
    active_.store(false);
    log("stopped");
    if (completion)
        completion();
}

void WAVFileSource::playbackLoop(const std::weak_ptr<WAVFileSource>& weak, streaming::LoopEnd& end,
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
            const auto stillPlaying = [&] {
                if (!context.stopRequested() && self->isActive())
                    return true;
                if (end.claim())
                    self->log("playback loop ended at frame " + std::to_string(frameCount));
                return false;
            };
            if (!stillPlaying())
                return;
            const std::span<const std::uint8_t> pcm = self->contents_.pcmData;
            if (readOffset + frameSize > pcm.size()) {
                self->log("looping file at frame " + std::to_string(frameCount));
                readOffset = 0;
                if (!stillPlaying())
                    return;
            }
            // The file holds at least one whole frame, so this one is whole.
            convertToOutputFormat(self->contents_, pcm.subspan(readOffset, frameSize), output);
            self->deliverAudio(output);
            end.setCount(++frameCount);
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
}

}  // namespace ostrovane::sources
