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
    xcb_visualid_t visual = 0;
};

enum class PlacementFailure { windowGone, serverGone };

// The window's placement, or why there is none.
std::variant<WindowPlacement, PlacementFailure> placeWindow(X11Connection& connection,
                                                            xcb_window_t window);

// Whether part of the window at `placement` is hidden on the screen: behind
// a viewable window stacked above its top-level window, or off the root.
// False when that cannot be told (the window went away meanwhile).
bool isCovered(X11Connection& connection, xcb_window_t window, const WindowPlacement& placement);

}  // namespace ostrovane::platform::x11
