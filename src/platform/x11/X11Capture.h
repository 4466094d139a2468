#pragma once

#include <xcb/xcb.h>

#include <memory>
#include <optional>

#include "platform/PlatformError.h"
#include "platform/ScreenContent.h"
#include "platform/image/Image.h"

namespace ostrovane::platform::x11 {

class X11Connection;
class ShmSegment;

// How one grab went.
enum class GrabResult {
    ok,           // the image holds the target
    nothing,      // nothing to show now (an unmapped window): skip this frame
    targetGone,   // the window was destroyed
    displayGone,  // the monitor was removed
    serverGone,   // the connection is lost or stalled
    unsupported,  // a pixel layout other than 32 bits per pixel
};

// Grabs what a content filter shows into a reusable BGRA image: monitors
// from the root window, windows from their own Composite pixmap (so covered
// parts show the window's own content), or from the screen area they cover
// when the server has no Composite. MIT-SHM when the server can share
// memory with us, GetImage otherwise. The XFixes cursor is drawn in on
// request. One thread at a time, on the connection it was made with.
class X11Capture {
  public:
    // `sharedMemory` false: always GetImage (to compare the two paths).
    explicit X11Capture(X11Connection& connection, bool sharedMemory = true);
    ~X11Capture();

    X11Capture(const X11Capture&) = delete;
    X11Capture& operator=(const X11Capture&) = delete;

    // Makes `filter` the target. For a window with Composite, redirects it so
    // that the server keeps its content off screen. Fails when the target
    // does not exist.
    MaybeError select(const ContentFilter& filter);

    // Grabs the current target into `image` (resized only when the target's
    // size changed).
    GrabResult grab(Image& image, bool drawCursor);

    bool usesSharedMemory() const { return segment_ != nullptr; }
    bool usesComposite() const { return composite_; }

  private:
    GrabResult grabDisplay(Image& image, std::int32_t& originX, std::int32_t& originY);
    GrabResult grabWindow(Image& image, std::int32_t& originX, std::int32_t& originY);
    // False when the server refused the area (it no longer fits the drawable).
    bool grabArea(xcb_drawable_t drawable, std::int16_t x, std::int16_t y, std::uint16_t width,
                  std::uint16_t height, Image& image, bool& supported);
    GrabResult grabScreenArea(std::int32_t x, std::int32_t y, std::uint32_t width,
                              std::uint32_t height, Image& image, std::int32_t& originX,
                              std::int32_t& originY);
    void drawCursor(Image& image, std::int32_t originX, std::int32_t originY);
    void releaseWindow();

    X11Connection& connection_;
    bool composite_ = false;
    bool xfixes_ = false;
    bool sharedMemoryRefused_;
    std::unique_ptr<ShmSegment> segment_;
    std::optional<std::uint32_t> display_;
    xcb_window_t window_ = XCB_NONE;
    bool redirected_ = false;
};

}  // namespace ostrovane::platform::x11
