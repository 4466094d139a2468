#pragma once

#include <optional>
#include <string>

namespace ostrovane::platform::x11 {

// What the log says, once, about capturing X11 inside a Wayland session:
// without a usable X display nothing can be captured; on Xwayland only X
// clients are visible. Nothing outside a Wayland session.
std::optional<std::string> waylandNotice(bool waylandDisplaySet, bool xDisplayUsable,
                                         bool xwayland);

}  // namespace ostrovane::platform::x11
