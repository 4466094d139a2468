#pragma once

#include <memory>
#include <string>
#include <vector>

#include "dispatch/SerialQueue.h"
#include "platform/ScreenCapture.h"

struct xcb_connection_t;

namespace ostrovane::platform::x11 {

// One monitor of the X server, as RandR describes it, in X's own pixel
// coordinates (top-left origin).
struct X11Monitor {
    std::uint32_t id = 0;  // never 0
    std::string name;
    std::int32_t x = 0;
    std::int32_t y = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    bool primary = false;
};

// The displays of an X server: the shareable content's display list and the
// screen list, from RandR monitors (or the root window when RandR is absent).
// Window listing, images and screenshots are not provided: they fail with an
// error, never with invented content.
//
// Queries are answered on a queue of the provider; the X connection is only
// used from that queue.
class X11Displays final : public ScreenCapture {
  public:
    // Connects to the X server named by `displayName` (empty: $DISPLAY).
    // Returns null when no X server can be reached.
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

    // The monitors as the server reports them now (on the caller's thread).
    std::vector<X11Monitor> monitors();

    // Converts X pixel rectangles to the global space whose origin is the
    // bottom-left corner of the primary monitor, y growing upward.
    static Rect toGlobal(const X11Monitor& monitor, const X11Monitor& primary);
    static std::vector<Display> displaysOf(const std::vector<X11Monitor>& monitors);

    struct ConnectionCloser {
        void operator()(xcb_connection_t* c) const;
    };
    // Only connect() makes one.
    class Key {
        friend class X11Displays;
        Key() = default;
    };
    X11Displays(Key, dispatch::Clock& clock, std::unique_ptr<xcb_connection_t, ConnectionCloser> c,
                int screenNumber);

  private:
    std::unique_ptr<xcb_connection_t, ConnectionCloser> connection_;
    const int screenNumber_;
    dispatch::SerialQueue queue_;
};

}  // namespace ostrovane::platform::x11
