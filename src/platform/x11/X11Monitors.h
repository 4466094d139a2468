#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/ScreenContent.h"
#include "platform/screens/MonitorLayout.h"

namespace ostrovane::platform::x11 {

class X11Connection;

// One monitor of the X server, as RandR describes it, in X's own pixel
// coordinates.
using X11Monitor = Monitor;
using platform::displaysOf;
using platform::mainMonitor;
using platform::screensOf;
using platform::toGlobal;

// The monitors as the server reports them now; the root window as the one
// monitor when RandR lists none. Ids are the first output's id, or for a
// monitor without outputs (one made with --setmonitor) its name atom: both
// stay the same for as long as the monitor exists. Names cost a round trip
// each and are only read when asked for. Nothing when the server is gone.
std::optional<std::vector<X11Monitor>> readMonitors(X11Connection& connection, bool withNames);

}  // namespace ostrovane::platform::x11
