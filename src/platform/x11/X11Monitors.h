#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/ScreenContent.h"

namespace ostrovane::platform::x11 {

class X11Connection;

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

// The monitors as the server reports them now; the root window as the one
// monitor when RandR lists none. Ids are the first output's id, or for a
// monitor without outputs (one made with --setmonitor) its name atom: both
// stay the same for as long as the monitor exists. Names cost a round trip
// each and are only read when asked for. Nothing when the server is gone.
std::optional<std::vector<X11Monitor>> readMonitors(X11Connection& connection, bool withNames);

// The main monitor: RandR's primary, else the one at the origin, else the
// first. Xvfb marks none primary.
std::size_t mainMonitor(const std::vector<X11Monitor>& monitors);

// Converts an X pixel rectangle to the global space whose origin is the
// bottom-left corner of the main monitor, y growing upward.
Rect toGlobal(std::int32_t x, std::int32_t y, std::uint32_t width, std::uint32_t height,
              const X11Monitor& main);

// The displays, main monitor first.
std::vector<Display> displaysOf(const std::vector<X11Monitor>& monitors);

// The operating system's screen list: the same monitors under their names.
ScreenList screensOf(const std::vector<X11Monitor>& monitors);

}  // namespace ostrovane::platform::x11
