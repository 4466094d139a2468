#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "platform/screens/ThreadedCaptureStream.h"

namespace ostrovane::platform::x11 {

class X11Capture;

// A stream of images of one display or window. While capturing, one grabbing
// thread with an X connection of its own grabs at the minimum frame interval,
// scales each grab into the configured size (keeping the aspect ratio when
// the configuration scales to fit) and hands it to the screen output's queue.
// Presentation times are the clock's monotonic uptime at the grab.
//
// The stream stops by itself when its monitor is removed (display-unavailable
// code), its window is destroyed, or the X server goes away. Audio is not
// captured here: audio streams come from the sound server.
class X11CaptureStream final : public ThreadedCaptureStream {
  public:
    X11CaptureStream(dispatch::Clock& clock, std::string displayName,
                     std::chrono::milliseconds timeout,
                     std::shared_ptr<dispatch::SerialQueue> events, ContentFilter filter,
                     StreamConfiguration configuration, StreamStopHandler onStop);
    ~X11CaptureStream() override;

  private:
    void run(dispatch::BackgroundTask::Context& context, StreamCompletion started) override;
    MaybeError filterWhileStoppedLocked(const ContentFilter& filter) override;
    // Applies queued filter changes; false when the stream had to stop.
    bool applyFilterChanges(X11Capture& capture);

    const std::string displayName_;
    const std::chrono::milliseconds timeout_;
    ContentFilter _filter;  // guarded by mutex_
};

}  // namespace ostrovane::platform::x11
