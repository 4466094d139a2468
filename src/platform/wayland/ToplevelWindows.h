#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/ScreenContent.h"
#include "platform/wayland/WaylandToplevels.h"

namespace ostrovane::platform::wayland {

// The installed application an app_id belongs to; nothing when none
// matches. The seam through which desktop entries name the owners of
// toplevels (the platform binds it; this provider does not read them).
using ToplevelOwner = std::function<std::optional<OwningApplication>(const std::string& appId)>;

// Where the compositor lists no windows but the desktop portal films them,
// one record stands for whichever window the user picks in the portal's
// dialog. Its id lies between the display ids and ours of toplevels.
inline constexpr WindowId kChosenWindowId = 0xFFFF;
inline constexpr const char* kChosenWindowTitle = "A window chosen in the desktop's dialog";

// That record, framed by the main display (listed first in `displays`).
Window chosenWindow(const std::vector<Display>& displays);
// The toplevel it stands for until the user has picked.
WaylandToplevel chosenToplevel();

// The owner of a toplevel with `appId`: what `owner` names, else one named
// by the app_id itself without a bundle identifier; none without an app_id.
// The compositor tells no process, so the pid stays unknown (0).
std::optional<OwningApplication> ownerOf(const std::string& appId, const ToplevelOwner& owner);

// The toplevels as windows, in their order. A window's frame is the one of
// the display of the first output it entered, else of the main display
// (`displays` lists it first): the compositor keeps the places of windows
// to itself. A minimized toplevel is not on screen, and left out when
// `options` wants on-screen windows only.
std::vector<Window> windowsOf(const std::vector<WaylandToplevel>& toplevels,
                              const std::vector<Display>& displays, const ToplevelOwner& owner,
                              const ShareableContentOptions& options);

}  // namespace ostrovane::platform::wayland
