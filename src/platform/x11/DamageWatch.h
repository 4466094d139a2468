#pragma once

#include <xcb/xcb.h>

#include <memory>
#include <optional>
#include <vector>

#include "platform/image/PixelRect.h"
#include "platform/x11/X11Connection.h"

namespace ostrovane::platform::x11 {

// What changed on what a stream films, from the server's own reports: the
// damage (XDamage) of the filmed drawable (the root for a display, the
// window for a window), the window's or the root's structure (resized,
// moved, mapped again), and the cursor's shape (XFixes cursor notify).
// Owns its damage object and region. One thread, on the stream's own
// connection, whose events it is handed (X11Connection::setEventSink).
class DamageWatch {
  public:
    // Null when the server has no Damage 1.1 or XFixes 2.
    static std::unique_ptr<DamageWatch> watch(X11Connection& connection, xcb_window_t drawable);
    ~DamageWatch();

    DamageWatch(const DamageWatch&) = delete;
    DamageWatch& operator=(const DamageWatch&) = delete;

    void onEvent(const xcb_generic_event_t& event);

    // Something was drawn since the last take().
    bool damaged() const { return damaged_; }
    // Resized, moved or mapped again since the last call; cleared by it.
    bool takeReshaped() { return std::exchange(reshaped_, false); }
    bool takeCursorShapeChanged() { return std::exchange(cursorShape_, false); }

    // The damaged rectangles (in the drawable's pixels) since the last
    // call; the damage is emptied. Nothing when the server did not answer.
    std::optional<std::vector<PixelRect>> take();

    struct Key {};
    DamageWatch(Key, X11Connection& connection, xcb_window_t drawable);

  private:
    X11Connection& connection_;
    const xcb_window_t drawable_;
    std::uint32_t damage_ = 0;
    std::uint32_t region_ = 0;
    std::uint8_t damageNotify_ = 0;
    std::uint8_t cursorNotify_ = 0;
    bool damaged_ = true;  // a new damage object reports everything
    bool reshaped_ = false;
    bool cursorShape_ = false;
};

}  // namespace ostrovane::platform::x11
