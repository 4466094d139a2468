#include "platform/apps/LinuxApplications.h"

#include "platform/apps/ApplicationResolver.h"

#include <unistd.h>

#include <filesystem>
#include <map>
#include <mutex>
#include "util/ThreadAnnotations.h"

namespace ostrovane::platform {

class LinuxApplications::WakeObservers {
  public:
    WakeObserverToken add(std::function<void()> onWake) {
        util::MutexLock lock(mutex_);
        const std::uint64_t id = _nextId++;
        _observers.emplace(id, std::make_shared<const std::function<void()>>(std::move(onWake)));
        return WakeObserverToken{id};
    }

    void remove(std::uint64_t id) {
        util::MutexLock lock(mutex_);
        _observers.erase(id);
    }

    // Calls every observer registered now, unless it is removed before its
    // turn; no lock is held during a call.
    void notify() {
        std::vector<std::uint64_t> ids;
        {
            util::MutexLock lock(mutex_);
            for (const auto& [id, _] : _observers)
                ids.push_back(id);
        }
        for (std::uint64_t id : ids) {
            std::shared_ptr<const std::function<void()>> observer;
            {
                util::MutexLock lock(mutex_);
                auto it = _observers.find(id);
                if (it == _observers.end())
                    continue;
                observer = it->second;
            }
            (*observer)();
        }
    }

  private:
    util::Mutex mutex_;
    std::map<std::uint64_t, std::shared_ptr<const std::function<void()>>> _observers
        GUARDED_BY(mutex_);
    std::uint64_t _nextId GUARDED_BY(mutex_) = 1;  // ids are never reused
};

LinuxApplications::LinuxApplications(logind::LogindWakeWatcher::Options wake,
                                     ApplicationSources sources)
    : proc_(std::move(sources.procRoot)),
      desktop_(sources.desktop ? std::move(*sources.desktop)
                               : DesktopEntrySources::fromEnvironment()),
      observers_(std::make_shared<WakeObservers>()),
      watcher_(std::move(wake), [observers = observers_] { observers->notify(); }) {}

LinuxApplications::~LinuxApplications() = default;

namespace {

// When each data directory's applications folder last changed (an entry
// added, removed or replaced there); a missing folder counts as the oldest.
std::vector<std::filesystem::file_time_type> folderTimes(const DesktopEntrySources& sources) {
    std::vector<std::filesystem::file_time_type> times;
    for (const auto& dir : sources.dataDirs) {
        std::error_code error;
        const auto time =
            std::filesystem::last_write_time(std::filesystem::path(dir) / "applications", error);
        times.push_back(error ? std::filesystem::file_time_type::min() : time);
    }
    return times;
}

}  // namespace

std::shared_ptr<const DesktopEntries> LinuxApplications::entries(bool reload) {
    const auto times = folderTimes(desktop_);
    {
        util::MutexLock lock(entriesMutex_);
        if (_entries && !reload && times == _entriesTimes)
            return _entries;
    }
    // Read without the lock: a concurrent reader keeps the previous set.
    auto fresh = std::make_shared<const DesktopEntries>(DesktopEntries::load(desktop_));
    util::MutexLock lock(entriesMutex_);
    _entries = fresh;
    _entriesTimes = times;
    return fresh;
}

// The one full walk of the process table, made when the caller rebuilds its
// view of the running applications; the entries are read again with it.
std::vector<RunningApplication> LinuxApplications::runningApplications() {
    const auto known = entries(true);
    const ApplicationResolver resolver(proc_, *known);
    std::vector<RunningApplication> out;
    for (const Pid pid : proc_.pids()) {
        if (const auto* entry = resolver.resolveOwn(pid))
            out.push_back({pid, entry->id, entry->name, proc_.executable(pid)});
    }
    return out;
}

std::optional<RunningApplication> LinuxApplications::runningApplication(Pid pid) {
    if (pid <= 0)
        return std::nullopt;
    const auto known = entries(false);
    const auto* entry = ApplicationResolver(proc_, *known).resolve(pid);
    if (!entry)
        return std::nullopt;
    return RunningApplication{pid, entry->id, entry->name, proc_.executable(pid)};
}

std::optional<std::string> LinuxApplications::executablePath(Pid pid) {
    return proc_.executable(pid);
}

std::optional<Bundle> LinuxApplications::openBundle(const std::string&) {
    return std::nullopt;
}

Pid LinuxApplications::currentPid() {
    return static_cast<Pid>(getpid());
}

WakeObserverToken LinuxApplications::addWakeObserver(std::function<void()> onWake) {
    return observers_->add(std::move(onWake));
}

void LinuxApplications::removeWakeObserver(const WakeObserverToken& token) {
    observers_->remove(token.id);
}

}  // namespace ostrovane::platform
