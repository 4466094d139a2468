#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "dispatch/RepeatingTimer.h"
#include "platform/CaptureStream.h"
#include "platform/screens/FrameCadence.h"
#include "platform/sim/PlatformThreads.h"
#include "platform/sim/SampleGenerators.h"
#include "util/ThreadAnnotations.h"

namespace ostrovane::platform::sim {

class SimScreen;

// A capture stream that, while capturing, looks at the screen every minimum
// frame interval and hands on its synthetic image by the FrameCadence rules
// (every interval while the screen moves), and delivers a system-audio
// buffer every buffer period.
class SimCaptureStream final : public CaptureStream,
                               public std::enable_shared_from_this<SimCaptureStream> {
  public:
    SimCaptureStream(std::weak_ptr<SimScreen> screen, std::shared_ptr<PlatformThreads> threads,
                     ContentFilter filter, StreamConfiguration configuration,
                     StreamStopHandler onStop);
    ~SimCaptureStream() override;

    MaybeError addAudioOutput(AudioSampleHandler handler, dispatch::QueueRef queue) override;
    MaybeError addScreenOutput(ScreenSampleHandler handler, dispatch::QueueRef queue) override;
    MaybeError removeOutput(StreamOutputType type) override;
    void startCapture(StreamCompletion completion) override;
    void stopCapture(StreamCompletion completion) override;
    void updateContentFilter(const ContentFilter& filter, StreamCompletion completion) override;
    const StreamConfiguration& configuration() const override { return configuration_; }

    // ---- scripting and observation ----
    // Stops by itself with `code` when capturing (the delegate hears it).
    void failWith(std::int64_t code, const std::string& message);
    // A stream that was already replaced still hears its delegate and its
    // audio output once: callbacks that were in flight when it was let go.
    void deliverLateCallbacks(std::int64_t code, const std::string& message);
    bool isCapturing() const;
    dispatch::QueueRef audioQueue() const;
    ContentFilter filter() const;
    bool shows(const ContentFilter& filter) const;

  private:
    void beginLocked() REQUIRES(mutex_);
    void haltLocked() REQUIRES(mutex_);
    void deliverScreen();
    void deliverAudio();
    BufferSlot audioSlot(const SimScreen& screen) const;

    std::weak_ptr<SimScreen> screen_;
    std::shared_ptr<PlatformThreads> threads_;
    const StreamConfiguration configuration_;
    const StreamStopHandler onStop_;

    mutable util::Mutex mutex_;
    ContentFilter _filter GUARDED_BY(mutex_);
    std::shared_ptr<const Image> _image GUARDED_BY(mutex_);
    AudioSampleHandler _audioHandler GUARDED_BY(mutex_);
    dispatch::QueueRef _audioQueue GUARDED_BY(mutex_);
    ScreenSampleHandler _screenHandler GUARDED_BY(mutex_);
    dispatch::QueueRef _screenQueue GUARDED_BY(mutex_);
    bool _capturing GUARDED_BY(mutex_) = false;
    std::int64_t _audioSlot GUARDED_BY(mutex_) = 0;
    std::unique_ptr<dispatch::RepeatingTimer> _screenTimer GUARDED_BY(mutex_);
    std::unique_ptr<dispatch::RepeatingTimer> _audioTimer GUARDED_BY(mutex_);
    std::vector<StreamCompletion> _unanswered GUARDED_BY(mutex_);
    FrameCadence _cadence GUARDED_BY(mutex_);
    std::optional<std::uint64_t> _seenRevision GUARDED_BY(mutex_);
};

}  // namespace ostrovane::platform::sim
