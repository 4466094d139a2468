#pragma once

// What the ScreenCast portal offers and who serves it, read on a connection
// of the caller's, and the choices that follow from the offer.

#include <systemd/sd-bus.h>

#include <chrono>
#include <optional>
#include <string>

#include "platform/portal/PortalScreenCast.h"

namespace ostrovane::platform::portal {

inline constexpr const char* kPortalName = "org.freedesktop.portal.Desktop";
inline constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";
inline constexpr const char* kScreenCastInterface = "org.freedesktop.portal.ScreenCast";

// The ScreenCast properties. Errors: nothing serves the portal's name, or
// it has no ScreenCast (kPortalUnavailableCode).
Result<PortalOffer> readOffer(sd_bus* bus, std::chrono::milliseconds limit);

// The unique name of the portal's connection: the sender of its signals.
Result<std::string> portalOwner(sd_bus* bus, std::chrono::milliseconds limit);

// Embedded when offered and wanted, else metadata (drawn by the consumer),
// else hidden; nothing when the portal offers none of these (then the
// portal's default applies and no mode is sent).
std::optional<CursorMode> chooseCursorMode(std::uint32_t offered, bool showCursor);

}  // namespace ostrovane::platform::portal
