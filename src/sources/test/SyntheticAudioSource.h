#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>

#include "dispatch/BackgroundTask.h"
#include "dispatch/Clock.h"
#include "protocol/TextChannel.h"
#include "sources/test/SyntheticPattern.h"
#include "streaming/AudioSource.h"
#include "streaming/LoopEnd.h"
#include "util/ThreadAnnotations.h"

namespace ostrovane::sources {

// A source that generates a known signal instead of capturing one, with the
// contract and pacing of the WAV file source: one 960-sample stereo frame
// (the same sample left and right) every frame duration. The sample index runs
// on across frames, so waves are continuous; each start begins at index 0.
// expectedRMS() states the level the signal should have, for comparison with
// measurements further down the stream.
//
// Threads: as WAVFileSource. The clock and the text channel must outlive the
// source.
class SyntheticAudioSource final : public streaming::AudioSource,
                                   public std::enable_shared_from_this<SyntheticAudioSource> {
  public:
    using FrameType = protocol::AudioProtocol::FrameType;

    // `seed` makes noise reproducible; without one it is drawn from the
    // system's random device.
    static std::shared_ptr<SyntheticAudioSource> create(SyntheticPattern pattern,
                                                        FrameType frameType, dispatch::Clock& clock,
                                                        protocol::TextChannel& text,
                                                        std::optional<std::uint64_t> seed = {});
    // dc at the given level
    static std::shared_ptr<SyntheticAudioSource> withTargetRMS(double rms, FrameType frameType,
                                                               dispatch::Clock& clock,
                                                               protocol::TextChannel& text);
    // a 1000 Hz sine
    static std::shared_ptr<SyntheticAudioSource> testTone(double amplitude, FrameType frameType,
                                                          dispatch::Clock& clock,
                                                          protocol::TextChannel& text);
    static std::shared_ptr<SyntheticAudioSource> silence(FrameType frameType,
                                                         dispatch::Clock& clock,
                                                         protocol::TextChannel& text);

    class Key {
        friend class SyntheticAudioSource;
        Key() = default;
    };
    SyntheticAudioSource(Key, SyntheticPattern pattern, FrameType frameType, dispatch::Clock& clock,
                         protocol::TextChannel& text, std::uint64_t seed);
    ~SyntheticAudioSource() override;

    std::string sourceID() const override { return sourceID_; }
    FrameType frameType() const override { return frameType_; }
    void start(StartCompletion completion) override;
    void stop(StopCompletion completion) override;
    bool isActive() const override { return active_.load(); }
    void setIsActive(bool active) { active_.store(active); }

    double expectedRMS() const { return expectedRMS_; }
    const SyntheticPattern& pattern() const { return pattern_; }

  private:
    void log(const std::string& message) const;
    static void playbackLoop(const std::weak_ptr<SyntheticAudioSource>& weak,
                             streaming::LoopEnd& end, dispatch::BackgroundTask::Context& context);

    const std::string sourceID_;
    const FrameType frameType_;
    const SyntheticPattern pattern_;
    const double expectedRMS_;
    dispatch::Clock& clock_;
    protocol::TextChannel& text_;
    std::mt19937_64 random_;  // playback thread only
    std::atomic<bool> active_{false};
    std::atomic<std::int64_t> sampleIndex_{0};
    util::Mutex taskLock_;
    std::shared_ptr<streaming::LoopEnd> _playbackEnd
        GUARDED_BY(taskLock_);  // of the latest playback
    // Last: stopped and joined before the fields it reads go away.
    std::unique_ptr<dispatch::BackgroundTask> _playbackTask GUARDED_BY(taskLock_);
};

}  // namespace ostrovane::sources
