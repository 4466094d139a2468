#include "platform/wayland/ToplevelWindows.h"

#include <algorithm>

#include "platform/screens/WindowText.h"

namespace ostrovane::platform::wayland {

std::optional<OwningApplication> ownerOf(const std::string& appId, const ToplevelOwner& owner) {
    if (appId.empty())
        return std::nullopt;
    if (owner) {
        if (auto app = owner(appId))
            return app;
    }
    return OwningApplication{appId, "", 0};
}

Window chosenWindow(const std::vector<Display>& displays) {
    Window window;
    window.windowId = kChosenWindowId;
    window.title = kChosenWindowTitle;
    window.frame = displays.empty() ? Rect{} : displays.front().frame;
    window.isOnScreen = true;
    return window;
}

WaylandToplevel chosenToplevel() {
    WaylandToplevel toplevel;
    toplevel.id = kChosenWindowId;
    toplevel.title = kChosenWindowTitle;
    return toplevel;
}

std::vector<Window> windowsOf(const std::vector<WaylandToplevel>& toplevels,
                              const std::vector<Display>& displays, const ToplevelOwner& owner,
                              const ShareableContentOptions& options) {
    const auto frameOf = [&](const WaylandToplevel& toplevel) -> Rect {
        for (const std::uint32_t output : toplevel.outputs) {
            auto it = std::find_if(displays.begin(), displays.end(),
                                   [&](const Display& d) { return d.displayId == output; });
            if (it != displays.end())
                return it->frame;
        }
        return displays.empty() ? Rect{} : displays.front().frame;
    };
    std::vector<Window> windows;
    for (const WaylandToplevel& toplevel : toplevels) {
        if (options.onScreenWindowsOnly && toplevel.minimized)
            continue;
        Window window;
        window.windowId = toplevel.id;
        // Titles and ids come from other programs, unchecked: they leave
        // the helper inside JSON, so they become well-formed UTF-8 here.
        if (!toplevel.title.empty())
            window.title = titleFromUtf8(toplevel.title);
        window.frame = frameOf(toplevel);
        window.owningApplication = ownerOf(titleFromUtf8(toplevel.appId), owner);
        window.isOnScreen = !toplevel.minimized;
        windows.push_back(std::move(window));
    }
    return windows;
}

}  // namespace ostrovane::platform::wayland
