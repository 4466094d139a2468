#pragma once

#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/PlatformError.h"
#include "platform/ScreenContent.h"
#include "platform/image/Image.h"
#include "platform/image/ImageScaling.h"
#include "platform/image/ImageView.h"
#include "platform/x11/X11Connection.h"

namespace ostrovane::platform::x11 {

class ShmSegment;

// How one grab went.
enum class GrabResult {
    ok,           // the image holds the target
    nothing,      // nothing to show now (an unmapped window): skip this frame
    targetGone,   // the window was destroyed
    displayGone,  // the monitor was removed
    serverGone,   // the connection is lost or stalled
    unsupported,  // a pixel layout without a conversion to BGRA
};

// Grabs what a content filter shows into a reusable BGRA image: monitors
// from the root window, windows from their own Composite pixmap (so covered
// parts show the window's own content), or from the screen area they cover
// when the server has no Composite. MIT-SHM when the server can share
// memory with us, GetImage otherwise. Pixels are converted from the
// visual's colour masks and the server's byte order; a layout without a
// conversion (a colour map) is refused, never shown in wrong colours. The
// XFixes cursor is drawn in on request. One thread at a time, on the
// connection it was made with.
class X11Capture {
  public:
    // `sharedMemory` false: always GetImage (to compare the two paths).
    explicit X11Capture(X11Connection& connection, bool sharedMemory = true);
    ~X11Capture();

    X11Capture(const X11Capture&) = delete;
    X11Capture& operator=(const X11Capture&) = delete;

    // Makes `filter` the target. For a window with Composite, redirects it so
    // that the server keeps its content off screen; when no compositing
    // manager kept that content already and part of the window is hidden,
    // waits (at most kRepaintWait) for the client to paint what the server
    // has just exposed. Fails when the target does not exist.
    MaybeError select(const ContentFilter& filter);
    // Ends the redirection of a window target (select and the destructor
    // do too): a still needs it no longer than its grab.
    void release();

    // Grabs the current target. `view` shows it until the next grab or
    // select: in place in the shared-memory segment (or the server's reply)
    // when the server's pixels are already BGRA but for the padding byte,
    // converted into a buffer of ours otherwise.
    //
    // `part`: only that area of the target (in the target's own pixels),
    // clipped to it. The target's place and size at the grab are then in
    // target().
    GrabResult grab(ImageView& view, bool drawCursor,
                    const std::optional<PixelRect>& part = std::nullopt);
    // Grabs each of `parts` of the target (its own pixels, clipped to it) on
    // one look-up of the target and one of the cursor, handing each to
    // `each` with the area it shows (the view lasts until it returns).
    using PartHandler = std::function<void(const ImageView& view, const PixelRect& area)>;
    GrabResult grabParts(const std::vector<PixelRect>& parts, bool drawCursor,
                         const PartHandler& each);
    // The same, copied into an opaque `image` (resized only when the
    // target's size changed).
    GrabResult grab(Image& image, bool drawCursor);

    // Where the target was at the last grab: its root position and size.
    struct Target {
        std::int32_t x = 0;
        std::int32_t y = 0;
        ImageSize size;
        bool operator==(const Target&) const = default;
    };
    const Target& target() const { return target_; }
    // What is filmed: the root for a display, the window for a window.
    xcb_window_t drawable() const { return window_ != XCB_NONE ? window_ : connection_.root(); }

    bool usesSharedMemory() const { return segment_ != nullptr; }
    bool usesComposite() const { return composite_; }

    // How long a covered window's client may take to repaint it.
    static constexpr std::chrono::milliseconds kRepaintWait{60};

  private:
    // What a grab left, and where: writable, so that the cursor can be drawn in.
    struct Pixels {
        std::uint8_t* data = nullptr;
        std::uint32_t width = 0;
        std::uint32_t height = 0;
        std::size_t stride = 0;
        bool alphaIsPadding = false;
    };
    GrabResult grabDisplay();
    GrabResult grabWindow();
    // False when the server refused the area (it no longer fits the drawable).
    // `visual`: the drawable's, for a pixmap which has none of its own.
    bool grabArea(xcb_drawable_t drawable, xcb_visualid_t visual, std::int16_t x, std::int16_t y,
                  std::uint16_t width, std::uint16_t height, bool& supported);
    GrabResult grabScreenArea(std::int32_t x, std::int32_t y, std::uint32_t width,
                              std::uint32_t height);
    // The parts of a target of `size` to grab: all of it, or `parts_` clipped.
    std::vector<PixelRect> partsOf(ImageSize size) const;
    // Grabs each part of `drawable` from (x, y) of a target at root (left,
    // top) and hands it on; false when the server refused one.
    bool grabEach(xcb_drawable_t drawable, xcb_visualid_t visual, std::int32_t x, std::int32_t y,
                  std::int32_t left, std::int32_t top, bool& supported);
    void drawCursor(std::int32_t originX, std::int32_t originY);
    bool compositingManagerRuns();
    void awaitRepaint();

    X11Connection& connection_;
    bool composite_ = false;
    bool damage_ = false;
    bool xfixes_ = false;
    bool sharedMemoryRefused_;
    std::unique_ptr<ShmSegment> segment_;
    Reply<xcb_get_image_reply_t> imageReply_;  // the last GetImage, read in place
    Image converted_;                          // pixels of other layouts, as BGRA
    Pixels pixels_;
    std::optional<std::uint32_t> display_;
    xcb_window_t window_ = XCB_NONE;
    bool redirected_ = false;
    // Of the grab under way: the parts (none: all), where they go, the cursor.
    std::vector<PixelRect> parts_;
    const PartHandler* each_ = nullptr;
    bool withCursor_ = false;
    Reply<xcb_xfixes_get_cursor_image_reply_t> cursor_;
    Target target_;
};

}  // namespace ostrovane::platform::x11
