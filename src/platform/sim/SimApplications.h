#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/Applications.h"
#include "platform/sim/PlatformThreads.h"
#include "util/ThreadAnnotations.h"

namespace ostrovane::platform::sim {

// Processes, applications and bundles of one simulated machine, and its
// sleep/wake cycle.
class SimApplications final : public Applications,
                              public std::enable_shared_from_this<SimApplications> {
  public:
    explicit SimApplications(std::shared_ptr<PlatformThreads> threads, Pid ownPid = 4242);

    // ---- scripting ----
    // A registered application (listed by runningApplications); its
    // executable path, when given, is also the process's path.
    void addApplication(RunningApplication application);
    void removeApplication(Pid pid);
    // The executable of any process, application or not.
    void setExecutablePath(Pid pid, std::string path);
    void addBundle(Bundle bundle);
    // The machine woke up: every wake observer is called on the posting thread.
    void postWake();

    // ---- observation ----
    std::size_t wakeObservers() const;

    // ---- Applications ----
    std::vector<RunningApplication> runningApplications() override;
    std::optional<RunningApplication> runningApplication(Pid pid) override;
    std::optional<std::string> executablePath(Pid pid) override;
    std::optional<Bundle> openBundle(const std::string& directory) override;
    Pid currentPid() override { return ownPid_; }
    WakeObserverToken addWakeObserver(std::function<void()> onWake) override;
    void removeWakeObserver(const WakeObserverToken& token) override;

  private:
    std::shared_ptr<PlatformThreads> threads_;
    const Pid ownPid_;
    mutable util::Mutex mutex_;
    std::vector<RunningApplication> _applications GUARDED_BY(mutex_);
    std::map<Pid, std::string> _paths GUARDED_BY(mutex_);
    std::map<std::string, Bundle> _bundles GUARDED_BY(mutex_);
    std::map<std::uint64_t, std::function<void()>> _wakeObservers;  // guarded by mutex_
    std::uint64_t _nextToken GUARDED_BY(mutex_) = 1;
};

}  // namespace ostrovane::platform::sim
