#pragma once

#include <chrono>
#include <cstdint>
#include <memory>

#include "platform/PlatformError.h"
#include "platform/image/Image.h"

namespace ostrovane::platform::wayland {

class WaylandOutputs;

// The picture an output shows now, through the compositor's screen-copy
// protocol (wlroots' zwlr_screencopy_manager_v1), which copies an output
// whether or not anything on it changes: a screen cast there sends its
// first image only once something does. It asks nobody, so it is used only
// for displays the user has granted through the portal.
//
// On the connection of `outputs`, used on its thread; `outputs` must
// outlive this.
class OutputCopy {
  public:
    explicit OutputCopy(WaylandOutputs& outputs);
    ~OutputCopy();

    OutputCopy(const OutputCopy&) = delete;
    OutputCopy& operator=(const OutputCopy&) = delete;

    // Whether the compositor offers the protocol.
    bool offered();
    // Output `outputId` now, within `limit`.
    Result<Image> copy(std::uint32_t outputId, bool showCursor, std::chrono::milliseconds limit);

    class State;

  private:
    WaylandOutputs& outputs_;
    std::unique_ptr<State> state_;
};

}  // namespace ostrovane::platform::wayland
