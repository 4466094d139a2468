#include "platform/sim/SimApplications.h"

#include <algorithm>
#include "util/ThreadAnnotations.h"

namespace ostrovane::platform::sim {

SimApplications::SimApplications(std::shared_ptr<PlatformThreads> threads, Pid ownPid)
    : threads_(std::move(threads)), ownPid_(ownPid) {}

void SimApplications::addApplication(RunningApplication application) {
    util::MutexLock lock(mutex_);
    if (application.executablePath)
        _paths[application.pid] = *application.executablePath;
    _applications.push_back(std::move(application));
}

void SimApplications::removeApplication(Pid pid) {
    util::MutexLock lock(mutex_);
    std::erase_if(_applications, [pid](const RunningApplication& a) { return a.pid == pid; });
    _paths.erase(pid);
}

void SimApplications::setExecutablePath(Pid pid, std::string path) {
    util::MutexLock lock(mutex_);
    _paths[pid] = std::move(path);
}

void SimApplications::addBundle(Bundle bundle) {
    util::MutexLock lock(mutex_);
    std::string path = bundle.path;
    _bundles[std::move(path)] = std::move(bundle);
}

void SimApplications::postWake() {
    // Posted from the simulated notification thread, like the real
    // notification centre, not from the test thread.
    threads_->service.async([weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self)
            return;
        std::vector<std::uint64_t> tokens;
        {
            util::MutexLock lock(self->mutex_);
            for (const auto& [token, _] : self->_wakeObservers)
                tokens.push_back(token);
        }
        for (std::uint64_t token : tokens) {
            std::function<void()> observer;
            {
                util::MutexLock lock(self->mutex_);
                auto it = self->_wakeObservers.find(token);
                if (it == self->_wakeObservers.end())
                    continue;
                observer = it->second;
            }
            observer();
        }
    });
}

std::size_t SimApplications::wakeObservers() const {
    util::MutexLock lock(mutex_);
    return _wakeObservers.size();
}

std::vector<RunningApplication> SimApplications::runningApplications() {
    util::MutexLock lock(mutex_);
    return _applications;
}

std::optional<RunningApplication> SimApplications::runningApplication(Pid pid) {
    util::MutexLock lock(mutex_);
    for (const RunningApplication& a : _applications) {
        if (a.pid == pid)
            return a;
    }
    return std::nullopt;
}

std::optional<std::string> SimApplications::executablePath(Pid pid) {
    util::MutexLock lock(mutex_);
    auto it = _paths.find(pid);
    if (it == _paths.end())
        return std::nullopt;
    return it->second;
}

std::optional<Bundle> SimApplications::openBundle(const std::string& directory) {
    util::MutexLock lock(mutex_);
    std::string key = directory;
    while (key.size() > 1 && key.back() == '/')
        key.pop_back();
    auto it = _bundles.find(key);
    if (it == _bundles.end())
        return std::nullopt;
    return it->second;
}

WakeObserverToken SimApplications::addWakeObserver(std::function<void()> onWake) {
    util::MutexLock lock(mutex_);
    const std::uint64_t id = _nextToken++;
    _wakeObservers.emplace(id, std::move(onWake));
    return WakeObserverToken{id};
}

void SimApplications::removeWakeObserver(const WakeObserverToken& token) {
    util::MutexLock lock(mutex_);
    _wakeObservers.erase(token.id);
}

}  // namespace ostrovane::platform::sim
