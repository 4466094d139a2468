#pragma once

#include <memory>

#include "platform/Applications.h"
#include "platform/linux/LogindWakeWatcher.h"

namespace ostrovane::platform {

// Processes from /proc and wake from sleep from logind. This system has no
// application bundles. Wake observers run on the watcher's thread; an
// observer may remove itself or others from there. A removed observer is not
// called afterwards; a call already under way on the watcher's thread
// finishes.
class LinuxApplications final : public Applications {
  public:
    explicit LinuxApplications(logind::LogindWakeWatcher::Options wake);
    ~LinuxApplications() override;

    // Whether a wake announced now would reach the observers (see
    // LogindWakeWatcher::following).
    bool followingWake() const { return watcher_.following(); }

    std::vector<RunningApplication> runningApplications() override;
    std::optional<RunningApplication> runningApplication(Pid pid) override;
    std::optional<std::string> executablePath(Pid pid) override;
    std::optional<Bundle> openBundle(const std::string& directory) override;
    Pid currentPid() override;
    WakeObserverToken addWakeObserver(std::function<void()> onWake) override;
    void removeWakeObserver(const WakeObserverToken& token) override;

  private:
    class WakeObservers;
    // Shared with the watcher's thread, which may outlive us when the last
    // reference goes from within an observer.
    std::shared_ptr<WakeObservers> observers_;
    logind::LogindWakeWatcher watcher_;  // declared last: stopped first
};

}  // namespace ostrovane::platform
