#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/Applications.h"
#include "platform/apps/DesktopEntries.h"
#include "platform/logind/LogindWakeWatcher.h"
#include "platform/processes/ProcFs.h"
#include "util/ThreadAnnotations.h"

namespace ostrovane::platform {

// Where applications and processes are read from; tests point both at a
// fake tree.
struct ApplicationSources {
    std::string procRoot = "/proc";
    // nullopt: the user's data directories, search path and locale.
    std::optional<DesktopEntrySources> desktop;
};

// Applications are the processes that belong to an installed desktop
// application (ApplicationResolver has the rules): bundle identifier = the
// desktop entry id, localized name = its Name in the user's locale. The
// entries are read on first use, again each time the running applications
// are listed, and again when an applications folder of a data directory has
// changed since (an application installed or removed). This system has no
// application bundles, so openBundle finds none and helpers are resolved
// here instead.
//
// Wake from sleep comes from logind. Wake observers run on the watcher's thread; an
// observer may remove itself or others from there. A removed observer is not
// called afterwards; a call already under way on the watcher's thread
// finishes.
class LinuxApplications final : public Applications {
  public:
    explicit LinuxApplications(logind::LogindWakeWatcher::Options wake,
                               ApplicationSources sources = {});
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
    std::shared_ptr<const DesktopEntries> entries(bool reload);

    const ProcFs proc_;
    const DesktopEntrySources desktop_;
    util::Mutex entriesMutex_;
    std::shared_ptr<const DesktopEntries> _entries GUARDED_BY(entriesMutex_);
    std::vector<std::filesystem::file_time_type> _entriesTimes GUARDED_BY(entriesMutex_);

    class WakeObservers;
    // Shared with the watcher's thread, which may outlive us when the last
    // reference goes from within an observer.
    std::shared_ptr<WakeObservers> observers_;
    logind::LogindWakeWatcher watcher_;  // declared last: stopped first
};

}  // namespace ostrovane::platform
