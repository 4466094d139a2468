#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "platform/CaptureStream.h"
#include "platform/PlatformError.h"
#include "platform/ScreenContent.h"
#include "platform/StreamConfiguration.h"
#include "platform/image/Image.h"

namespace ostrovane::platform {

// The screen-capture service: permission, what can be captured, streams of
// images and system audio, and single screenshots. Every method may be
// called from any thread; completions are called exactly once, on a
// platform thread.
class ScreenCapture {
  public:
    virtual ~ScreenCapture() = default;

    // True when screen recording is permitted (this may show a prompt).
    virtual bool requestAccess() = 0;

    virtual void shareableContent(const ShareableContentOptions& options,
                                  std::function<void(Result<ShareableContent>)> completion) = 0;

    virtual ContentFilter makeFilter(const Display& display) = 0;
    virtual ContentFilter makeFilter(const Window& window) = 0;

    // `onStop` is the stream's delegate: it must hold its owner weakly.
    // Where the desktop grants each capture (a Wayland desktop's portal),
    // making a screen stream asks for the grant and waits for the user's
    // answer, at most a bounded time; a stream that was refused refuses its
    // screen output with the refusal, so a start fails at once with it.
    virtual std::shared_ptr<CaptureStream> makeStream(const ContentFilter& filter,
                                                      const StreamConfiguration& configuration,
                                                      StreamStopHandler onStop) = 0;

    virtual void screenshot(const ContentFilter& filter, const StreamConfiguration& configuration,
                            std::function<void(Result<Image>)> completion) = 0;

    // The operating system's screens, with names and the main screen.
    virtual ScreenList screens() = 0;

    // Where the system's audio mix does not depend on any display, the filter
    // a system-audio capture uses when no display can be listed (a machine
    // without one); nothing where system audio is captured per display.
    virtual std::optional<ContentFilter> displaylessAudioFilter() { return std::nullopt; }
};

}  // namespace ostrovane::platform
