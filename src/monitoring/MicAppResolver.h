#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "dispatch/Clock.h"
#include "dispatch/SerialQueue.h"
#include "platform/Applications.h"

namespace ostrovane::monitoring {

struct AppIdentity {
    std::string bundleId;
    std::string appName;
    bool operator==(const AppIdentity&) const = default;
};

// pid → application for the mic app detector: a cache of the running
// applications (rebuilt when older than 30 s), the application bundle that
// contains the executable, the running-application record with helper
// processes lifted to the application that contains them, then the synthetic
// "path:" and "process:" identities; system daemons give nothing.
//
// Not thread-safe: the detector calls it on its own queue. Running-application
// lookups hop synchronously to the main queue.
class MicAppResolver {
  public:
    static constexpr double pidCacheMaxAge = 30.0;

    using Log = std::function<void(std::string_view)>;

    MicAppResolver(dispatch::Clock& clock, dispatch::SerialQueue& mainQueue,
                   std::shared_ptr<platform::Applications> applications,
                   std::vector<std::string> platformDaemons, Log log);

    void warmPidCache();
    std::optional<AppIdentity> resolveBundleInfo(platform::Pid pid,
                                                 const std::optional<std::string>& processNameHint);

    // The outermost ".app" directory containing `path` that opens as a bundle.
    std::optional<platform::Bundle> findRootAppBundle(const std::string& path);
    static std::optional<std::string> getBundleDisplayName(const platform::Bundle& bundle);

  private:
    struct AppInfo {
        std::optional<std::string> bundleId;
        std::optional<std::string> appName;
        std::optional<std::string> execPath;
    };
    std::optional<AppInfo> getAppInfoForPID(platform::Pid pid);
    void onMain(const std::function<void()>& work);

    dispatch::Clock& clock_;
    dispatch::SerialQueue& mainQueue_;
    const std::shared_ptr<platform::Applications> applications_;
    const std::vector<std::string> platformDaemons_;
    const Log log_;
    // What a pid was found to be, with the program it ran then: a pid the
    // system has given to another program since is not that application.
    struct CachedApp {
        AppIdentity identity;
        std::optional<std::string> executable;
    };
    std::map<platform::Pid, CachedApp> pidCache;
    double pidCacheTime = 0;
};

}  // namespace ostrovane::monitoring
