#include "platform/x11/XwaylandNotice.h"

namespace ostrovane::platform::x11 {

std::optional<std::string> waylandNotice(bool waylandDisplaySet, bool xDisplayUsable,
                                         bool xwayland) {
    if (xDisplayUsable && xwayland) {
        return "X11ScreenCapture: the X server is Xwayland in a Wayland session: only windows of "
               "X clients can be listed and captured, Wayland windows stay hidden or black";
    }
    if (waylandDisplaySet && !xDisplayUsable) {
        return "X11ScreenCapture: Wayland session without a usable X display: displays and "
               "windows cannot be captured";
    }
    return std::nullopt;
}

}  // namespace ostrovane::platform::x11
