#include "platform/sim/SimChildProcesses.h"

#include <algorithm>
#include "util/ThreadAnnotations.h"

namespace ostrovane::platform::sim {

namespace {

constexpr int kTerminateSignal = 15;

std::vector<std::uint8_t> bytesOf(std::string_view s) {
    return {s.begin(), s.end()};
}

}  // namespace

SimChildScript& SimChildScript::write(std::string_view bytes, dispatch::Duration after) {
    steps.push_back(Step{after, bytesOf(bytes), std::nullopt});
    return *this;
}

SimChildScript& SimChildScript::writeInChunks(std::string_view bytes, std::size_t chunkSize) {
    chunkSize = std::max<std::size_t>(chunkSize, 1);
    for (std::size_t at = 0; at < bytes.size(); at += chunkSize) {
        write(bytes.substr(at, chunkSize));
    }
    return *this;
}

SimChildScript& SimChildScript::exit(int status, dispatch::Duration after) {
    steps.push_back(Step{after, {}, Termination{Termination::Reason::exit, status}});
    return *this;
}

SimChild::SimChild(std::shared_ptr<PlatformThreads> threads, std::int32_t pid,
                   ChildProcessSpec spec, ChildProcessHandlers handlers)
    : threads_(std::move(threads)),
      pid_(pid),
      spec_(std::move(spec)),
      handlers_(std::move(handlers)) {}

void SimChild::run(const SimChildScript& script) {
    dispatch::Duration at{0};
    for (const SimChildScript::Step& step : script.steps) {
        at += step.after;
        auto perform = [weak = weak_from_this(), step] {
            auto self = weak.lock();
            if (!self)
                return;
            if (step.exit) {
                self->deliverExit(*step.exit);
            } else {
                self->deliverOutput(step.output);
            }
        };
        if (at.count() == 0) {
            threads_->pipe.async(std::move(perform));
        } else {
            threads_->pipe.asyncAfter(at, std::move(perform));
        }
    }
}

void SimChild::terminate() {
    {
        util::MutexLock lock(mutex_);
        _terminateRequested = true;
    }
    exit(Termination{Termination::Reason::uncaughtSignal, kTerminateSignal});
}

void SimChild::write(std::string_view bytes) {
    threads_->pipe.async([weak = weak_from_this(), bytes = bytesOf(bytes)] {
        if (auto self = weak.lock())
            self->deliverOutput(bytes);
    });
}

void SimChild::exit(Termination termination) {
    // Through the pipe queue, so chunks written before are delivered first.
    threads_->pipe.async([weak = weak_from_this(), termination] {
        if (auto self = weak.lock())
            self->deliverExit(termination);
    });
}

bool SimChild::hasExited() const {
    util::MutexLock lock(mutex_);
    return _exited;
}

bool SimChild::terminateRequested() const {
    util::MutexLock lock(mutex_);
    return _terminateRequested;
}

void SimChild::deliverOutput(std::vector<std::uint8_t> bytes) {
    {
        util::MutexLock lock(mutex_);
        if (_exited || bytes.empty())
            return;
    }
    if (handlers_.onOutput)
        handlers_.onOutput(std::move(bytes));
}

void SimChild::deliverExit(Termination termination) {
    {
        util::MutexLock lock(mutex_);
        if (_exited)
            return;
        _exited = true;
    }
    if (handlers_.onExit)
        handlers_.onExit(termination);
}

SimChildProcesses::SimChildProcesses(std::shared_ptr<PlatformThreads> threads)
    : threads_(std::move(threads)) {}

void SimChildProcesses::pushScript(const std::string& executable, SimChildScript script) {
    util::MutexLock lock(mutex_);
    _scripts[executable].push_back(std::move(script));
}

std::vector<ChildProcessSpec> SimChildProcesses::launches() const {
    util::MutexLock lock(mutex_);
    return _launches;
}

std::vector<std::shared_ptr<SimChild>> SimChildProcesses::children() const {
    util::MutexLock lock(mutex_);
    return _children;
}

std::shared_ptr<SimChild> SimChildProcesses::lastChild() const {
    util::MutexLock lock(mutex_);
    return _children.empty() ? nullptr : _children.back();
}

Result<std::shared_ptr<ChildProcess>> SimChildProcesses::launch(const ChildProcessSpec& spec,
                                                                ChildProcessHandlers handlers) {
    SimChildScript script;
    std::shared_ptr<SimChild> child;
    {
        util::MutexLock lock(mutex_);
        _launches.push_back(spec);
        auto& queue = _scripts[spec.executable];
        if (!queue.empty()) {
            script = std::move(queue.front());
            queue.pop_front();
        }
        if (script.launchError)
            return *script.launchError;
        child = std::make_shared<SimChild>(threads_, _nextPid++, spec, std::move(handlers));
        _children.push_back(child);
    }
    child->run(script);
    return std::shared_ptr<ChildProcess>(child);
}

}  // namespace ostrovane::platform::sim
