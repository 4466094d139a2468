#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ScreenContent.h"

namespace ostrovane::platform::wayland {

class WaylandOutputs;

// One toplevel window of the session, as the compositor last described it.
struct WaylandToplevel {
    // Ours: see WaylandToplevels.
    WindowId id = 0;
    std::string title;
    std::string appId;
    // The compositor's own identifier (ext-foreign-toplevel-list only).
    std::string identifier;
    // The outputs it shows on (their WaylandOutput ids), the first entered
    // first; empty where the compositor does not tell.
    std::vector<std::uint32_t> outputs;
    bool minimized = false;  // told by wlr-foreign-toplevel-management only
    bool operator==(const WaylandToplevel&) const = default;
};

// The toplevel windows of every client, on the connection of `outputs`:
// from ext-foreign-toplevel-list where the compositor offers it, else from
// wlr-foreign-toplevel-management (which also tells outputs and the
// minimized state). A compositor with neither (GNOME) has no windows here,
// which is not an error.
//
// Ids are ours, one per toplevel handle: never 0, never reused within the
// process, and stable while the toplevel lives. They start at 0x10000 so
// that they never meet a display id (the registry name of a wl_output,
// which compositors count up from 1 with their other globals): a parent
// that mixes up the two kinds of target finds nothing rather than the
// wrong one.
//
// Used on the thread that uses `outputs`, which must outlive this.
class WaylandToplevels {
  public:
    explicit WaylandToplevels(WaylandOutputs& outputs);
    ~WaylandToplevels();

    WaylandToplevels(const WaylandToplevels&) = delete;
    WaylandToplevels& operator=(const WaylandToplevels&) = delete;

    // The described toplevels now, oldest first; nothing once the
    // compositor is gone or stalls past the connection's timeout.
    std::optional<std::vector<WaylandToplevel>> read();
    // Whether the compositor publishes its toplevels at all; known once
    // read() succeeded.
    bool listsWindows() const;

    class State;

  private:
    WaylandOutputs& outputs_;
    std::unique_ptr<State> state_;
};

}  // namespace ostrovane::platform::wayland
