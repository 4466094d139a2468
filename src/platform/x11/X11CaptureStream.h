#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/screens/ThreadedCaptureStream.h"

namespace ostrovane::platform::x11 {

class X11Capture;

// A stream of images of one display or window. While capturing, one grabbing
// thread with an X connection of its own looks at the target every minimum
// frame interval and hands pictures on by the FrameCadence rules. What
// changed comes from the server (DamageWatch): nothing is grabbed while
// nothing is damaged; then only the damaged rectangles (and the cursor's
// old and new place) are grabbed and scaled into a copy of the last frame
// (ChangedFrames). A start, a switch, or a window resized, moved or mapped
// again grabs all of it; so does every tick on a server without XDamage.
// Frames are scaled into the configured size (keeping the aspect ratio when
// the configuration scales to fit). Presentation times are the clock's
// monotonic uptime at the grab (at the tick, for a repeat).
//
// The stream stops by itself when its monitor is removed (display-unavailable
// code), its window is destroyed, or the X server goes away. Audio is not
// captured here: audio streams come from the sound server.
class X11CaptureStream final : public ThreadedCaptureStream {
  public:
    X11CaptureStream(dispatch::Clock& clock, std::string displayName,
                     std::chrono::milliseconds timeout,
                     std::shared_ptr<dispatch::SerialQueue> events, ContentFilter filter,
                     StreamConfiguration configuration, StreamStopHandler onStop,
                     std::function<void(std::string_view)> log);
    ~X11CaptureStream() override;

  private:
    void run(dispatch::BackgroundTask::Context& context, StreamCompletion started) override;
    MaybeError filterWhileStoppedLocked(const ContentFilter& filter) override REQUIRES(mutex_);
    // Applies queued filter changes; false when the stream had to stop.
    // `switched`: a change was applied.
    bool applyFilterChanges(X11Capture& capture, bool& switched);

    const std::string displayName_;
    const std::chrono::milliseconds timeout_;
    const std::function<void(std::string_view)> log_;
    ContentFilter _filter;  // guarded by mutex_
};

}  // namespace ostrovane::platform::x11
