#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace ostrovane::platform {

using Pid = std::int32_t;

// A process the window system knows as an application.
struct RunningApplication {
    Pid pid = 0;
    std::optional<std::string> bundleIdentifier;
    std::optional<std::string> localizedName;
    std::optional<std::string> executablePath;
};

// A value of an application bundle's information dictionary. Readers only
// accept strings; the other kinds exist so that they can be refused.
using InfoValue = std::variant<std::string, std::int64_t, bool>;

// An application bundle opened at a directory.
struct Bundle {
    std::string path;
    std::optional<std::string> identifier;
    std::map<std::string, InfoValue> info;

    std::optional<std::string> infoString(const std::string& key) const {
        auto it = info.find(key);
        if (it == info.end())
            return std::nullopt;
        if (auto* s = std::get_if<std::string>(&it->second))
            return *s;
        return std::nullopt;
    }
};

// Proof of one wake-observer registration, handed back to remove it.
struct WakeObserverToken {
    std::uint64_t id = 0;
    bool operator==(const WakeObserverToken&) const = default;
};

// Applications, processes and bundles, and the system-did-wake notification.
//
// runningApplications and runningApplication must be called on the main
// thread (they read the window system's view of applications). The other
// lookups may be called from any thread.
class Applications {
  public:
    virtual ~Applications() = default;

    virtual std::vector<RunningApplication> runningApplications() = 0;
    virtual std::optional<RunningApplication> runningApplication(Pid pid) = 0;

    // Full path of the executable of any process; nullopt when it cannot be read.
    virtual std::optional<std::string> executablePath(Pid pid) = 0;

    // The bundle at a directory; nullopt when the directory is no bundle.
    virtual std::optional<Bundle> openBundle(const std::string& directory) = 0;

    virtual Pid currentPid() = 0;

    // `onWake` runs on the thread that posts the notification, once per wake,
    // until the registration is removed.
    virtual WakeObserverToken addWakeObserver(std::function<void()> onWake) = 0;
    virtual void removeWakeObserver(const WakeObserverToken& token) = 0;
};

}  // namespace ostrovane::platform
