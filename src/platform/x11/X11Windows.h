#pragma once

#include <xcb/xcb.h>

#include <optional>
#include <variant>
#include <vector>

#include "platform/ScreenContent.h"
#include "platform/x11/X11Monitors.h"

namespace ostrovane::platform::x11 {

class X11Connection;
class WindowOwners;

// The application windows of the server, front-most first: the window
// manager's client list (_NET_CLIENT_LIST_STACKING, else _NET_CLIENT_LIST),
// or without a window manager the mapped top-level children of the root
// that can show something (not input-only, not override-redirect popups).
// Frames are client areas in the global space of `monitors`; a window is on
// screen when it is viewable and overlaps a monitor. Nothing when the server
// is gone.
std::optional<std::vector<Window>> readWindows(X11Connection& connection,
                                               const std::vector<X11Monitor>& monitors,
                                               WindowOwners& owners);

// Where a window's client area is on the root window now.
struct WindowPlacement {
    std::int32_t x = 0;  // root pixels
    std::int32_t y = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t borderWidth = 0;
    bool viewable = false;
};

enum class PlacementFailure { windowGone, serverGone };

// The window's placement, or why there is none.
std::variant<WindowPlacement, PlacementFailure> placeWindow(X11Connection& connection,
                                                            xcb_window_t window);

}  // namespace ostrovane::platform::x11
