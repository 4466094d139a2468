#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/screens/MonitorLayout.h"

struct wl_display;
struct wl_output;

namespace ostrovane::platform::wayland {

// One output of the compositor: its place and size in the compositor's
// logical space (xdg-output), its pixel mode and scale.
struct WaylandOutput {
    // The registry's name of the output's global: never 0, the same for
    // every client, stable for as long as the output exists.
    std::uint32_t id = 0;
    std::string name;  // the connector, "DP-1", "HEADLESS-1"
    std::string description;
    std::int32_t x = 0;  // logical
    std::int32_t y = 0;
    std::int32_t width = 0;  // logical
    std::int32_t height = 0;
    std::int32_t pixelWidth = 0;  // the current mode
    std::int32_t pixelHeight = 0;
    std::int32_t scale = 1;
};

// The layout of the outputs, for the display list and the screen list.
std::vector<Monitor> monitorsOf(const std::vector<WaylandOutput>& outputs);

// A client connection to a Wayland compositor that follows its outputs
// (wl_output with zxdg_output_manager_v1 where the compositor has it).
// Nothing here asks the user: outputs are public to every client.
//
// Every wait on the compositor is bounded: a compositor that does not
// answer in time marks the connection dead, like one that went away. One
// thread at a time.
class WaylandOutputs {
  public:
    // Null when no compositor answers at `displayName` (empty:
    // $WAYLAND_DISPLAY) within the timeout.
    static std::unique_ptr<WaylandOutputs> connect(const std::string& displayName,
                                                   std::chrono::milliseconds timeout);
    ~WaylandOutputs();

    WaylandOutputs(const WaylandOutputs&) = delete;
    WaylandOutputs& operator=(const WaylandOutputs&) = delete;

    // The outputs now, in the order the compositor announced them. Nothing
    // once the compositor is gone.
    std::optional<std::vector<WaylandOutput>> read();
    bool alive() const;

    // For other listeners on the same connection (the toplevels), which
    // speak through these and go before this object does.
    wl_display* display() const { return display_; }
    // Sends what is queued and handles what the compositor says until every
    // earlier request was answered; false on a lost or stalled connection.
    bool roundtrip();
    // The id of an output proxy of this connection; nothing for one that
    // was removed.
    std::optional<std::uint32_t> idOf(const wl_output* output) const;
    // This connection's proxy of output `id`; null when there is none.
    wl_output* proxyOf(std::uint32_t id) const;

    class State;
    class Key {
        friend class WaylandOutputs;
        Key() = default;
    };
    WaylandOutputs(Key, wl_display* display, std::chrono::milliseconds timeout);

  private:
    wl_display* display_;
    std::chrono::milliseconds timeout_;
    bool dead_ = false;
    std::unique_ptr<State> state_;
};

}  // namespace ostrovane::platform::wayland
