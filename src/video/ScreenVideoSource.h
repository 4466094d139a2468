#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "dispatch/Clock.h"
#include "dispatch/SerialQueue.h"
#include "platform/CaptureStream.h"
#include "platform/ScreenCapture.h"
#include "platform/VideoEncoder.h"
#include "platform/image/ImageScaling.h"
#include "protocol/FrameWriter.h"
#include "protocol/TextChannel.h"
#include "util/ThreadAnnotations.h"
#include "video/KeyframeCadence.h"
#include "video/VideoSourceError.h"

namespace ostrovane::video {

// What every log line about the screen video stream begins with, so that one
// capture's story can be read out of the mixed log.
inline constexpr std::string_view kVideoLogPrefix = "ScreenVideoSource: ";

// Captures one display or one window, encodes every image as H.264 and
// writes the access units as video frames; keeps the latest image for PNG
// snapshots. Streams hand on images when the picture changed and once a
// second while it stands still (platform/screens/FrameCadence.h); the
// keyframes follow KeyframeCadence.
//
// start() returns once the stream was created and told to start; a capture
// that then fails to begin, or a stream that stops by itself later, is
// reported with the event "VIDEO_STREAM_ERROR:". stop() and forceCleanup()
// return when the stream was told to stop and the encoder has handed out its
// last frame.
//
// Threads: start, stop, forceCleanup, switchTarget and snapshotPNG are called
// one at a time by the command loop (or by the tasks this source starts);
// images arrive on the queue "video.capture"; encoded frames on the encoder's
// thread; completions and the stream's delegate on platform threads. Every
// callback holds the source weakly, so create it with create().
class ScreenVideoSource final : public std::enable_shared_from_this<ScreenVideoSource> {
  public:
    // The channels and the clock must outlive the source.
    struct Dependencies {
        std::shared_ptr<platform::ScreenCapture> screenCapture;
        std::shared_ptr<platform::VideoEncoders> videoEncoders;
        const protocol::TextChannel& text;
        protocol::FrameWriter& frames;
        dispatch::Clock& clock;
    };

    // What the parent asked for. The frame header carries these values.
    struct Targets {
        std::int64_t width = 1920;
        std::int64_t height = 1080;
        std::int64_t fps = 10;
        std::int64_t bitrate = 2'000'000;
    };

    // Called once, on a platform thread or the caller's; nothing is success.
    using Completion = std::function<void(std::optional<VideoError>)>;

    static std::shared_ptr<ScreenVideoSource> create(Dependencies dependencies, Targets targets);

    class Key {
        friend class ScreenVideoSource;
        Key() = default;
    };
    ScreenVideoSource(Key, Dependencies dependencies, Targets targets);
    ~ScreenVideoSource();

    ScreenVideoSource(const ScreenVideoSource&) = delete;
    ScreenVideoSource& operator=(const ScreenVideoSource&) = delete;

    bool isActive() const { return isActive_.load(); }

    // Any type but "display" is a window.
    void start(const std::string& targetType, std::uint32_t targetID, Completion completion);
    void stop();
    void forceCleanup();
    void switchTarget(const std::string& targetType, std::uint32_t targetID, Completion completion);

    // A PNG of the latest captured image, scaled down to `maxWidth` when it
    // is wider (a width below 1 keeps the full size); nothing when no image
    // has arrived since the start or the last switch.
    std::optional<std::vector<std::uint8_t>> snapshotPNG(std::int64_t maxWidth);

    const Targets& targets() const { return targets_; }

  private:
    using StreamPtr = std::shared_ptr<platform::CaptureStream>;
    using EncoderPtr = std::shared_ptr<platform::VideoEncoder>;

    // A resolved target: its filter, and the display when it is one.
    struct ResolvedTarget {
        platform::ContentFilter filter;
        std::optional<platform::Display> display;
    };
    std::variant<ResolvedTarget, VideoSourceError> resolveTarget(
        const platform::ShareableContent& content, const std::string& targetType,
        std::uint32_t targetID) const;

    // Nothing when the stream was created and told to start.
    std::optional<VideoError> startWithContent(const platform::ShareableContent& content,
                                               const std::string& targetType,
                                               std::uint32_t targetID);
    std::optional<VideoError> createCompressionSession(std::int64_t width, std::int64_t height);
    void onStartCompleted(const platform::MaybeError& error);
    void onStreamStopped(const platform::StreamStopError& error);
    // An error when the switch failed at once; otherwise `completion` is
    // called once the service has applied the new filter.
    std::optional<VideoError> switchWithContent(const platform::ShareableContent& content,
                                                const std::string& targetType,
                                                std::uint32_t targetID, Completion completion);
    // Ends the switch (so later switches are accepted) and passes `error` on.
    std::optional<VideoError> finishSwitch(std::optional<VideoError> error);

    void teardownStream(const StreamPtr& stream);
    void commonTeardown();

    // ---- image intake and encoder output ----
    void intake(const platform::ScreenSample& sample);
    void submit(const EncoderPtr& encoder, const platform::ScreenSample& sample,
                bool forceKeyframe);
    void handleEncodedFrame(platform::EncoderStatus status,
                            std::optional<platform::EncodedFrame> frame);
    void countDroppedImage();

    const std::shared_ptr<platform::ScreenCapture> screenCapture_;
    const std::shared_ptr<platform::VideoEncoders> videoEncoders_;
    const protocol::TextChannel& text_;
    protocol::FrameWriter& frames_;
    const Targets targets_;
    dispatch::SerialQueue videoQueue_;

    // Read without the lock by the intake; written under stateLock_.
    std::atomic<bool> isActive_{false};
    // Written by start before the stream exists, then by the encoder output.
    std::atomic<std::uint32_t> frameSequence_{0};
    std::atomic<std::uint64_t> droppedImages_{0};

    mutable util::Mutex stateLock_;
    StreamPtr _stream;
    EncoderPtr _compressionSession;
    std::optional<platform::MediaTime> _captureStartTime;
    std::vector<std::uint8_t> _cachedSPS;
    std::vector<std::uint8_t> _cachedPPS;
    bool _forceNextKeyframe = false;
    KeyframeCadence _keyframes{targets_.fps};
    bool _isSwitching = false;
    std::optional<platform::ScreenSample> _latestSampleBuffer;

    // Used only by snapshotPNG, created once and reused.
    util::Mutex snapshotLock_;
    platform::ImageScaler _snapshotScaler GUARDED_BY(snapshotLock_);
};

}  // namespace ostrovane::video
