#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "dispatch/RepeatingTimer.h"
#include "platform/CaptureStream.h"
#include "platform/screens/FrameCadence.h"
#include "platform/sim/PlatformThreads.h"
#include "platform/sim/SampleGenerators.h"

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
    void beginLocked();
    void haltLocked();
    void deliverScreen();
    void deliverAudio();
    BufferSlot audioSlot(const SimScreen& screen) const;

    std::weak_ptr<SimScreen> screen_;
    std::shared_ptr<PlatformThreads> threads_;
    const StreamConfiguration configuration_;
    const StreamStopHandler onStop_;

    mutable std::mutex mutex_;
    ContentFilter _filter;                                   // guarded by mutex_
    std::shared_ptr<const Image> _image;                     // guarded by mutex_
    AudioSampleHandler _audioHandler;                        // guarded by mutex_
    dispatch::QueueRef _audioQueue;                          // guarded by mutex_
    ScreenSampleHandler _screenHandler;                      // guarded by mutex_
    dispatch::QueueRef _screenQueue;                         // guarded by mutex_
    bool _capturing = false;                                 // guarded by mutex_
    std::int64_t _audioSlot = 0;                             // guarded by mutex_
    std::unique_ptr<dispatch::RepeatingTimer> _screenTimer;  // guarded by mutex_
    std::unique_ptr<dispatch::RepeatingTimer> _audioTimer;   // guarded by mutex_
    std::vector<StreamCompletion> _unanswered;               // guarded by mutex_
    FrameCadence _cadence;                                   // guarded by mutex_
    std::optional<std::uint64_t> _seenRevision;              // guarded by mutex_
};

}  // namespace ostrovane::platform::sim
