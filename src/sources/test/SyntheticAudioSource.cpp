#include "sources/test/SyntheticAudioSource.h"

#include <vector>

#include "streaming/AudioOutputFormat.h"
#include "util/ThreadAnnotations.h"

namespace ostrovane::sources {

namespace {

using streaming::AudioOutputFormat;

std::string makeSourceID(protocol::AudioProtocol::FrameType type) {
    return type == protocol::AudioProtocol::FrameType::mic ? "synthetic_mic" : "synthetic_system";
}

}  // namespace

std::shared_ptr<SyntheticAudioSource> SyntheticAudioSource::create(
    SyntheticPattern pattern, FrameType frameType, dispatch::Clock& clock,
    protocol::TextChannel& text, std::optional<std::uint64_t> seed) {
    return std::make_shared<SyntheticAudioSource>(Key{}, std::move(pattern), frameType, clock, text,
                                                  seed ? *seed : std::random_device{}());
}

std::shared_ptr<SyntheticAudioSource> SyntheticAudioSource::withTargetRMS(
    double rms, FrameType frameType, dispatch::Clock& clock, protocol::TextChannel& text) {
    return create(pattern::Dc{rms}, frameType, clock, text);
}

std::shared_ptr<SyntheticAudioSource> SyntheticAudioSource::testTone(double amplitude,
                                                                     FrameType frameType,
                                                                     dispatch::Clock& clock,
                                                                     protocol::TextChannel& text) {
    return create(pattern::Sine{1000.0, amplitude}, frameType, clock, text);
}

std::shared_ptr<SyntheticAudioSource> SyntheticAudioSource::silence(FrameType frameType,
                                                                    dispatch::Clock& clock,
                                                                    protocol::TextChannel& text) {
    return create(pattern::Silence{}, frameType, clock, text);
}

SyntheticAudioSource::SyntheticAudioSource(Key, SyntheticPattern pattern, FrameType frameType,
                                           dispatch::Clock& clock, protocol::TextChannel& text,
                                           std::uint64_t seed)
    : sourceID_(makeSourceID(frameType)),
      frameType_(frameType),
      pattern_(std::move(pattern)),
      expectedRMS_(sources::expectedRMS(pattern_)),
      clock_(clock),
      text_(text),
      random_(seed) {}

SyntheticAudioSource::~SyntheticAudioSource() {
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
        log("emitted " + std::to_string(end->count()) + " frames");
    task.reset();
}

void SyntheticAudioSource::log(const std::string& message) const {
    text_.logToStderr("SyntheticAudioSource[" + sourceID_ + "]: " + message);
}

void SyntheticAudioSource::start(StartCompletion completion) {
    if (!active_.exchange(true)) {
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
                log("emitted " + std::to_string(previousEnd->count()) + " frames");
        }
        auto end = std::make_shared<streaming::LoopEnd>();
        sampleIndex_.store(0);
        auto task = std::make_unique<dispatch::BackgroundTask>(
            clock_, "synthetic." + sourceID_,
            [weak = weak_from_this(), end](dispatch::BackgroundTask::Context& context) {
                playbackLoop(weak, *end, context);
            });
        {
            util::MutexLock guard(taskLock_);
            _playbackTask = std::move(task);
            _playbackEnd = std::move(end);
        }
        log("started with pattern " + describe(pattern_));
        if (!isGenerable(pattern_))
            log("pattern " + describe(pattern_) + " has no defined signal, generating silence");
    }
    if (completion)
        completion(std::nullopt);
}

void SyntheticAudioSource::stop(StopCompletion completion) {
    {
        util::MutexLock guard(taskLock_);
        if (_playbackTask)
            _playbackTask->requestStop();
    }
    active_.store(false);
    log("stopped");
    if (completion)
        completion();
}

void SyntheticAudioSource::playbackLoop(const std::weak_ptr<SyntheticAudioSource>& weak,
                                        streaming::LoopEnd& end,
                                        dispatch::BackgroundTask::Context& context) {
    const auto samplesPerFrame =
        static_cast<std::int64_t>(AudioOutputFormat::frameDuration * AudioOutputFormat::sampleRate);
    const auto frameDuration =
        dispatch::Duration(static_cast<std::int64_t>(AudioOutputFormat::frameDurationNanos));
    std::vector<std::uint8_t> frame;
    frame.reserve(static_cast<std::size_t>(AudioOutputFormat::frameSize));
    std::uint64_t frameCount = 0;
    for (;;) {
        {
            auto self = weak.lock();
            if (!self)
                return;
            if (context.stopRequested() || !self->isActive()) {
                if (end.claim())
                    self->log("emitted " + std::to_string(frameCount) + " frames");
                return;
            }
            frame.clear();
            for (std::int64_t i = 0; i < samplesPerFrame; ++i) {
                const auto s = static_cast<std::uint16_t>(
                    generateSample(self->pattern_, self->sampleIndex_.fetch_add(1), self->random_));
                const auto low = static_cast<std::uint8_t>(s & 0xFF);
                const auto high = static_cast<std::uint8_t>(s >> 8);
                frame.insert(frame.end(), {low, high, low, high});
            }
            self->deliverAudio(frame);
            end.setCount(++frameCount);
        }
        context.sleepFor(frameDuration);
    }
}

}  // namespace ostrovane::sources
