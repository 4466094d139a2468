#include "platform/linux/LinuxApplications.h"

#include <unistd.h>

#include <filesystem>
#include <map>
#include <mutex>

namespace ostrovane::platform {

class LinuxApplications::WakeObservers {
  public:
    WakeObserverToken add(std::function<void()> onWake) {
        std::lock_guard lock(mutex_);
        const std::uint64_t id = _nextId++;
        _observers.emplace(id, std::make_shared<const std::function<void()>>(std::move(onWake)));
        return WakeObserverToken{id};
    }

    void remove(std::uint64_t id) {
        std::lock_guard lock(mutex_);
        _observers.erase(id);
    }

    // Calls every observer registered now, unless it is removed before its
    // turn; no lock is held during a call.
    void notify() {
        std::vector<std::uint64_t> ids;
        {
            std::lock_guard lock(mutex_);
            for (const auto& [id, _] : _observers)
                ids.push_back(id);
        }
        for (std::uint64_t id : ids) {
            std::shared_ptr<const std::function<void()>> observer;
            {
                std::lock_guard lock(mutex_);
                auto it = _observers.find(id);
                if (it == _observers.end())
                    continue;
                observer = it->second;
            }
            (*observer)();
        }
    }

  private:
    std::mutex mutex_;
    std::map<std::uint64_t, std::shared_ptr<const std::function<void()>>>
        _observers;             // guarded by mutex_
    std::uint64_t _nextId = 1;  // guarded by mutex_; ids are never reused
};

LinuxApplications::LinuxApplications(logind::LogindWakeWatcher::Options wake)
    : observers_(std::make_shared<WakeObservers>()),
      watcher_(std::move(wake), [observers = observers_] { observers->notify(); }) {}

LinuxApplications::~LinuxApplications() = default;

// Desktop applications are listed by the window-system provider (not built yet).
std::vector<RunningApplication> LinuxApplications::runningApplications() {
    return {};
}

std::optional<RunningApplication> LinuxApplications::runningApplication(Pid) {
    return std::nullopt;
}

std::optional<std::string> LinuxApplications::executablePath(Pid pid) {
    if (pid <= 0)
        return std::nullopt;
    std::error_code error;
    auto path = std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", error);
    if (error || path.empty())
        return std::nullopt;
    return path.string();
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
