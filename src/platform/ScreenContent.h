#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/Applications.h"

namespace ostrovane::platform {

// A rectangle in points, in the global screen space whose origin is the
// bottom-left corner of the primary screen (y grows upward).
struct Rect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;
    bool operator==(const Rect&) const = default;
};

using DisplayId = std::uint32_t;
using WindowId = std::uint32_t;

struct Display {
    DisplayId displayId = 0;
    std::int64_t width = 0;  // points
    std::int64_t height = 0;
    Rect frame;
    bool operator==(const Display&) const = default;
};

struct OwningApplication {
    std::string applicationName;
    std::string bundleIdentifier;
    Pid pid = 0;
    bool operator==(const OwningApplication&) const = default;
};

struct Window {
    WindowId windowId = 0;
    std::optional<std::string> title;
    Rect frame;
    std::optional<OwningApplication> owningApplication;
    bool isOnScreen = true;
    bool isDesktopWindow = false;  // desktop furniture: wallpaper, icons
    bool operator==(const Window&) const = default;
};

// What can be captured right now, in the service's order.
struct ShareableContent {
    std::vector<Display> displays;
    std::vector<Window> windows;
};

struct ShareableContentOptions {
    bool excludeDesktopWindows = false;
    bool onScreenWindowsOnly = true;
};

// What a stream or a screenshot shows: one display without exclusions, or one
// window on its own. The service fills in the content rectangle (points) and
// how many pixels a point has there.
struct ContentFilter {
    std::variant<Display, Window> target;
    Rect contentRect;
    double pointPixelScale = 1.0;
};

// An operating-system screen, as the window system lists it.
struct Screen {
    std::optional<std::uint32_t> screenNumber;  // equals the display id
    std::string localizedName;
    Rect frame;
    bool operator==(const Screen&) const = default;
};

struct ScreenList {
    std::vector<Screen> screens;
    std::optional<std::size_t> mainScreen;  // index into screens
};

}  // namespace ostrovane::platform
