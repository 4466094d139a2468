#include "platform/screens/MonitorLayout.h"

namespace ostrovane::platform {

std::size_t mainMonitor(const std::vector<Monitor>& monitors) {
    for (std::size_t i = 0; i < monitors.size(); ++i) {
        if (monitors[i].primary)
            return i;
    }
    for (std::size_t i = 0; i < monitors.size(); ++i) {
        if (monitors[i].x == 0 && monitors[i].y == 0)
            return i;
    }
    return 0;
}

Rect toGlobal(std::int32_t x, std::int32_t y, std::uint32_t width, std::uint32_t height,
              const Monitor& main) {
    const double mainBottom = static_cast<double>(main.y) + main.height;
    return Rect{static_cast<double>(x - main.x), mainBottom - (static_cast<double>(y) + height),
                static_cast<double>(width), static_cast<double>(height)};
}

std::vector<Display> displaysOf(const std::vector<Monitor>& monitors) {
    std::vector<Display> displays;
    if (monitors.empty())
        return displays;
    const std::size_t main = mainMonitor(monitors);
    auto add = [&](const Monitor& m) {
        displays.push_back(Display{m.id, m.width, m.height,
                                   toGlobal(m.x, m.y, m.width, m.height, monitors[main])});
    };
    add(monitors[main]);
    for (std::size_t i = 0; i < monitors.size(); ++i) {
        if (i != main)
            add(monitors[i]);
    }
    return displays;
}

ScreenList screensOf(const std::vector<Monitor>& monitors) {
    ScreenList list;
    if (monitors.empty())
        return list;
    for (const Display& d : displaysOf(monitors)) {
        std::string name;
        for (const auto& m : monitors) {
            if (m.id == d.displayId)
                name = m.name;
        }
        list.screens.push_back(Screen{d.displayId, std::move(name), d.frame});
    }
    list.mainScreen = 0;  // displaysOf puts the main monitor first
    return list;
}

}  // namespace ostrovane::platform
