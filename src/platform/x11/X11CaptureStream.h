#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "dispatch/BackgroundTask.h"
#include "dispatch/SerialQueue.h"
#include "platform/CaptureStream.h"
#include "platform/image/Image.h"

namespace ostrovane::platform::x11 {

class X11Capture;

// A stream of images of one display or window. While capturing, one grabbing
// thread with an X connection of its own grabs at the minimum frame interval,
// scales each grab into the configured size (keeping the aspect ratio when
// the configuration scales to fit) and hands it to the screen output's queue.
// Presentation times are the clock's monotonic uptime at the grab.
//
// Completions and the stop handler run on `events`, never on the grabbing
// thread, so a receiver may stop or drop the stream from them. The stream
// stops by itself when its monitor is removed (display-unavailable code),
// its window is destroyed, or the X server goes away. Audio is not captured
// here: audio streams come from the sound server.
class X11CaptureStream final : public CaptureStream {
  public:
    X11CaptureStream(dispatch::Clock& clock, std::string displayName,
                     std::chrono::milliseconds timeout,
                     std::shared_ptr<dispatch::SerialQueue> events, ContentFilter filter,
                     StreamConfiguration configuration, StreamStopHandler onStop);
    ~X11CaptureStream() override;

    MaybeError addAudioOutput(AudioSampleHandler handler, dispatch::QueueRef queue) override;
    MaybeError addScreenOutput(ScreenSampleHandler handler, dispatch::QueueRef queue) override;
    MaybeError removeOutput(StreamOutputType type) override;
    void startCapture(StreamCompletion completion) override;
    void stopCapture(StreamCompletion completion) override;
    void updateContentFilter(const ContentFilter& filter, StreamCompletion completion) override;
    const StreamConfiguration& configuration() const override { return configuration_; }

  private:
    struct FilterChange {
        ContentFilter filter;
        StreamCompletion completion;
    };

    void run(dispatch::BackgroundTask::Context& context, StreamCompletion started);
    // Applies queued filter changes; false when the stream had to stop.
    bool applyFilterChanges(X11Capture& capture);
    void deliver(std::shared_ptr<const Image> frame, MediaTime time);
    void complete(StreamCompletion completion, MaybeError error);
    // Ends capturing and joins the grabbing thread; whether it was capturing.
    bool halt();
    // The capture could not begin: the start and queued switches fail.
    void failStart(StreamCompletion started, const Error& error);
    void stopByItself(const Error& error);

    dispatch::Clock& clock_;
    const std::string displayName_;
    const std::chrono::milliseconds timeout_;
    const std::shared_ptr<dispatch::SerialQueue> events_;
    const StreamConfiguration configuration_;
    const StreamStopHandler onStop_;

    mutable std::mutex mutex_;
    ContentFilter _filter;                               // guarded by mutex_
    std::vector<FilterChange> _filterChanges;            // guarded by mutex_
    ScreenSampleHandler _handler;                        // guarded by mutex_
    dispatch::QueueRef _queue;                           // guarded by mutex_
    bool _capturing = false;                             // guarded by mutex_
    std::unique_ptr<dispatch::BackgroundTask> _grabber;  // guarded by mutex_
};

}  // namespace ostrovane::platform::x11
