#include "platform/x11/WindowOwners.h"

#include <fstream>
#include "util/ThreadAnnotations.h"

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

void ApplicationWindowOwners::resolveWith(std::shared_ptr<Applications> applications) {
    util::MutexLock lock(mutex_);
    _applications = std::move(applications);
}

std::optional<OwningApplication> ApplicationWindowOwners::owner(const WindowClaims& claims) {
    std::shared_ptr<Applications> applications;
    {
        util::MutexLock lock(mutex_);
        applications = _applications;
    }
    if (applications && claims.pid && *claims.pid > 0) {
        if (auto app = applications->runningApplication(*claims.pid);
            app && app->bundleIdentifier) {
            auto fallback = fallback_.owner(claims);
            return OwningApplication{
                app->localizedName.value_or(fallback ? fallback->applicationName : ""),
                *app->bundleIdentifier, *claims.pid};
        }
    }
    return fallback_.owner(claims);
}

}  // namespace ostrovane::platform::x11
