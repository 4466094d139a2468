#include "platform/x11/WindowOwners.h"

#include <fstream>

namespace ostrovane::platform::x11 {

std::optional<OwningApplication> ProcessWindowOwners::owner(const WindowClaims& claims) {
    if (!claims.pid || *claims.pid <= 0)
        return std::nullopt;
    OwningApplication app;
    app.pid = *claims.pid;
    app.applicationName = claims.className;
    if (app.applicationName.empty()) {
        std::ifstream comm(procRoot_ + "/" + std::to_string(*claims.pid) + "/comm");
        std::getline(comm, app.applicationName);
    }
    return app;
}

}  // namespace ostrovane::platform::x11
