#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "dispatch/SerialQueue.h"
#include "platform/ScreenCapture.h"
#include "platform/image/ImageScaling.h"
#include "platform/x11/X11Monitors.h"

namespace ostrovane::platform::x11 {

class X11Connection;
class X11Capture;
class WindowOwners;

// The screen-capture service of an X server: displays from RandR monitors,
// the operating system's screen list, application windows, capture streams
// (one grabbing thread and X connection each) and screenshots on the same
// grab path. System audio is not here: the Linux provider serves audio
// streams from the sound server.
//
// Queries and screenshots run on the provider's queue, which alone uses the
// query connection; completions come from there, stream completions from an
// events queue. Every request to the server, and connecting to it, waits at
// most the timeout. A server that stalls or goes away fails the query at
// hand (not answering, or gone) and the screen list is empty; the next query
// connects again, so a server that was only busy serves again.
class X11Displays final : public ScreenCapture {
  public:
    struct Options {
        std::string displayName;  // empty: $DISPLAY
        std::chrono::milliseconds timeout{2000};
        std::shared_ptr<WindowOwners> owners;  // none: WM_CLASS and /proc
        // One diagnostic line (the Wayland notice); none: standard error.
        std::function<void(std::string_view)> log;
    };

    // Null when no X server is there. A server that is there but does not
    // answer (stopped, busy) gives a provider that connects on first use.
    static std::shared_ptr<X11Displays> connect(dispatch::Clock& clock, Options options);
    static std::shared_ptr<X11Displays> connect(dispatch::Clock& clock,
                                                const std::string& displayName = {});
    ~X11Displays() override;

    bool requestAccess() override { return true; }
    void shareableContent(const ShareableContentOptions& options,
                          std::function<void(Result<ShareableContent>)> completion) override;
    ContentFilter makeFilter(const Display& display) override;
    ContentFilter makeFilter(const Window& window) override;
    std::shared_ptr<CaptureStream> makeStream(const ContentFilter& filter,
                                              const StreamConfiguration& configuration,
                                              StreamStopHandler onStop) override;
    void screenshot(const ContentFilter& filter, const StreamConfiguration& configuration,
                    std::function<void(Result<Image>)> completion) override;
    ScreenList screens() override;

    class Key {
        friend class X11Displays;
        Key() = default;
    };
    X11Displays(Key, dispatch::Clock& clock, Options options,
                std::unique_ptr<X11Connection> connection);

    // How long the server may take to answer when the helper starts.
    static constexpr std::chrono::milliseconds kStartAnswerLimit{300};
    // How long the buffers of screenshots are kept after the last one.
    static constexpr dispatch::Duration kGrabKeptIdle = dispatch::seconds(2);

  private:
    // The query connection, opened again after a stall or a break; an error
    // when the server does not answer now or is gone.
    Result<X11Connection*> queryConnection();
    // Why the query connection just failed: a stall or a loss.
    Error lostError() const;
    Result<ShareableContent> readContent(const ShareableContentOptions& options);
    Result<Image> shoot(const ContentFilter& filter, const StreamConfiguration& configuration);

    dispatch::Clock& clock_;
    const Options options_;
    // Used on queue_ only.
    std::unique_ptr<X11Connection> connection_;
    std::unique_ptr<X11Capture> capture_;
    ImageScaler scaler_;
    std::uint64_t stillsTaken_ = 0;
    const std::shared_ptr<dispatch::SerialQueue> events_;
    dispatch::SerialQueue queue_;  // last: stopped before the members its tasks use
};

}  // namespace ostrovane::platform::x11
