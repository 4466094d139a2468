#pragma once

#include <chrono>
#include <functional>

#include "platform/PlatformError.h"
#include "platform/image/Image.h"
#include "platform/wayland/PortalGrants.h"
#include "platform/wayland/WaylandOutputs.h"

namespace ostrovane::platform::wayland {

// One full-size image of a display through a screen cast of its own: the
// portal's grant (with Consent::storedOnly, a stored one or none), a
// PipeWire stream until its first image, and both closed again. A display
// that shows nothing new sends nothing, so the first image may not come:
// after `firstImageLimit` the still fails, unless the compositor can copy
// the granted display as it is (`copy`), which is then asked sooner.
struct DisplayStill {
    using Copy = std::function<Result<Image>(const WaylandOutput& output, bool showCursor)>;

    PortalGrants& grants;
    std::chrono::milliseconds timeout;  // every PipeWire wait
    std::chrono::milliseconds firstImageLimit;
    Copy copy;  // empty where the compositor copies nothing

    Result<Image> take(const WaylandOutput& output, bool showCursor,
                       PortalGrants::Consent consent) const;
};

}  // namespace ostrovane::platform::wayland
