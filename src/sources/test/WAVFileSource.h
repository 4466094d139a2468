#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "dispatch/BackgroundTask.h"
#include "dispatch/Clock.h"
#include "platform/PlatformError.h"
#include "protocol/TextChannel.h"
#include "sources/test/WAVFormat.h"
#include "streaming/AudioSource.h"
#include "streaming/LoopEnd.h"
#include "util/ThreadAnnotations.h"

namespace ostrovane::sources {

// A test source that plays a 16-bit PCM WAV file over and over, one 20 ms
// output frame per frame duration, in place of a live microphone or system
// audio. The whole file is read and checked at construction; playback never
// touches the file again. Restartable: each start plays from the beginning.
//
// Threads: start() and stop() complete before they return, on the caller's
// thread. Playback runs on a background task of its own that paces itself on
// the clock and calls the data handler there, one frame at a time. The clock
// and the text channel must outlive the source.
class WAVFileSource final : public streaming::AudioSource,
                            public std::enable_shared_from_this<WAVFileSource> {
  public:
    using FrameType = protocol::AudioProtocol::FrameType;

    // The file's contents as a source, or the read error (passed on as it
    // is) or the WAVError that refuses it.
    static platform::Result<std::shared_ptr<WAVFileSource>> create(const std::string& wavPath,
                                                                   FrameType frameType,
                                                                   dispatch::Clock& clock,
                                                                   protocol::TextChannel& text);
    // The file read and checked once, for several sources: copies of the
    // contents share one read-only buffer of samples.
    static platform::Result<WAVContents> load(const std::string& wavPath);
    static std::shared_ptr<WAVFileSource> create(const std::string& wavPath, WAVContents contents,
                                                 FrameType frameType, dispatch::Clock& clock,
                                                 protocol::TextChannel& text);

    class Key {
        friend class WAVFileSource;
        Key() = default;
    };
    WAVFileSource(Key, std::string wavPath, FrameType frameType, WAVContents contents,
                  dispatch::Clock& clock, protocol::TextChannel& text);
    ~WAVFileSource() override;

    std::string sourceID() const override { return sourceID_; }
    FrameType frameType() const override { return frameType_; }
    void start(StartCompletion completion) override;
    void stop(StopCompletion completion) override;
    bool isActive() const override { return active_.load(); }
    // Clearing it from outside ends playback at its next check, as stop() does.
    void setIsActive(bool active) { active_.store(active); }

    const WAVContents& contents() const { return contents_; }
    const std::string& wavPath() const { return wavPath_; }

    static constexpr std::uint64_t kEmittedLogInterval = 500;

  private:
    void log(const std::string& message) const;
    static void playbackLoop(const std::weak_ptr<WAVFileSource>& weak, streaming::LoopEnd& end,
                             dispatch::BackgroundTask::Context& context);

    const std::string sourceID_;
    const FrameType frameType_;
    const std::string wavPath_;
    const WAVContents contents_;
    dispatch::Clock& clock_;
    protocol::TextChannel& text_;
    std::atomic<bool> active_{false};
    util::Mutex taskLock_;
    std::shared_ptr<streaming::LoopEnd> _playbackEnd
        GUARDED_BY(taskLock_);  // of the latest playback
    // Last: stopped and joined before the fields it reads go away.
    std::unique_ptr<dispatch::BackgroundTask> _playbackTask GUARDED_BY(taskLock_);
};

}  // namespace ostrovane::sources
