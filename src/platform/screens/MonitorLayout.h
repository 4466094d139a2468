#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/ScreenContent.h"

namespace ostrovane::platform {

// One monitor as a window system describes it, in that system's own
// coordinates (top-left origin, y growing downward): an X server's pixels,
// a Wayland compositor's logical units.
struct Monitor {
    std::uint32_t id = 0;  // never 0
    std::string name;
    std::int32_t x = 0;
    std::int32_t y = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    bool primary = false;
};

// The main monitor: the primary one, else the one at the origin, else the
// first.
std::size_t mainMonitor(const std::vector<Monitor>& monitors);

// Converts a window-system rectangle to the global space whose origin is the
// bottom-left corner of the main monitor, y growing upward.
Rect toGlobal(std::int32_t x, std::int32_t y, std::uint32_t width, std::uint32_t height,
              const Monitor& main);

// The displays, main monitor first.
std::vector<Display> displaysOf(const std::vector<Monitor>& monitors);

// The operating system's screen list: the same monitors under their names.
ScreenList screensOf(const std::vector<Monitor>& monitors);

}  // namespace ostrovane::platform
