#include "monitoring/MicAppDetector.h"

#include <algorithm>
#include <cassert>

#include "monitoring/AudioMxdLine.h"
#include "monitoring/MicAppRecords.h"

namespace ostrovane::monitoring {

std::shared_ptr<MicAppDetector> MicAppDetector::create(Environment environment) {
    return std::make_shared<MicAppDetector>(Key{}, std::move(environment));
}

MicAppDetector::MicAppDetector(Key, Environment environment)
    : env_(std::move(environment)),
      ownPid_(env_.platform.applications->currentPid()),
      queue_(std::make_unique<dispatch::SerialQueue>(env_.clock, "com.corvinta.micappdetector")),
      resolver_(env_.clock, env_.mainQueue, env_.platform.applications,
                env_.platform.audioInputLog.daemonNames,
                [this](std::string_view message) { log(message); }) {}

MicAppDetector::~MicAppDetector() {
    // Work on the queue uses the detector without owning it, so the queue
    // closes first: it waits for the running task and drops the rest. Only
    // then may the timer and the child go, and nothing the owner lends us (the
    // text channel above all) is touched once we return.
    queue_->close();
    snapshotTimer.reset();
    if (logTask)
        logTask->terminate();
}

template <class Work>
void MicAppDetector::onQueue(Work work) {
    queue_->async([this, work = std::move(work)]() mutable { work(*this); });
}

void MicAppDetector::startMonitoring() {
    onQueue([](MicAppDetector& self) {
        if (self.isMonitoring) {
            self.log("MicAppDetector: Already monitoring");
            return;
        }
        self.isMonitoring = true;
        self.log("MicAppDetector: Starting...");
        self.resolver_.warmPidCache();
        self.reconstructActiveMicSessions();
        self.startLogStream();
        self.startSnapshotTimer();
        self.log("MicAppDetector: Started monitoring for audio apps");
    });
}

void MicAppDetector::stopMonitoring() {
    onQueue([](MicAppDetector& self) { self.stopMonitoringInternal(); });
}

void MicAppDetector::stopMonitoringInternal() {
    assert(queue_->isCurrent());
    if (!isMonitoring)
        return;
    isMonitoring = false;
    if (snapshotTimer) {
        snapshotTimer->cancel();
        snapshotTimer.reset();
    }
    if (logTask) {
        logTask->terminate();
        logTask.reset();
    }
    activePIDsByBundle.clear();
    pidToBundleMap.clear();
    snapshotAbsenceCount.clear();
    lastEmitBundleId.clear();
    lastEmitTime = 0;
    log("MicAppDetector: Stopped");
}

// ---- log stream ----

void MicAppDetector::startLogStream() {
    const auto& command = env_.platform.audioInputLog.command;
    const std::uint64_t launch = ++logLaunch_;
    platform::ChildProcessHandlers handlers;
    // The child's callbacks post through a weak queue handle: once the
    // detector (and with it the queue) is gone they post nothing.
    handlers.onOutput = [this, queue = queue_->ref()](std::vector<std::uint8_t> chunk) {
        queue.async([this, chunk = std::move(chunk)] { processLogOutputBuffered(chunk); });
    };
    handlers.onExit = [this, queue = queue_->ref(), launch](platform::Termination termination) {
        queue.async([this, launch, termination] { onLogExit(launch, termination); });
    };

    platform::Result<std::shared_ptr<platform::ChildProcess>> launched =
        command.executable.empty()
            ? platform::Result<std::shared_ptr<platform::ChildProcess>>(
                  platform::Error{"Ostrovane", 2, "no audio input log on this system"})
            : env_.platform.childProcesses->launch(command, std::move(handlers));
    if (launched) {
        logTask = launched.value();
        log("MicAppDetector: log stream started successfully");
        return;
    }
    const auto& error = launched.error();
    log("MicAppDetector: Failed to start log stream: " + error.description());
    emitError("Failed to start log stream: " + error.localizedDescription());
    isMonitoring = false;
}

void MicAppDetector::onLogExit(std::uint64_t launch, platform::Termination termination) {
    // The exit of a child we already let go (stopped, or replaced by a
    // restart) is not a failure of the log we follow now.
    if (launch != logLaunch_ || !logTask)
        return;
    if (!isMonitoring || termination.status == 0)
        return;
    const std::string message =
        "log stream exited with status " + std::to_string(termination.status);
    log("MicAppDetector: " + message);
    emitError(message);
    // A stop and a start within the delay launch a new log of their own:
    // this restart then belongs to nobody.
    queue_->asyncAfter(dispatch::seconds(logRestartDelay), [this, launch] {
        if (!isMonitoring || launch != logLaunch_)
            return;
        log("MicAppDetector: Attempting to restart log stream...");
        startLogStream();
    });
}

void MicAppDetector::processLogOutputBuffered(std::span<const std::uint8_t> chunk) {
    assert(queue_->isCurrent());
    lineBuffer.push(chunk, LogLineSplitter::Sink{
                               [this](std::string_view line) { processLogLine(line); }, nullptr,
                               [this] {
                                   log("MicAppDetector: Dropped a log line longer than " +
                                       std::to_string(LogLineSplitter::kMaxLineBytes) + " bytes");
                               }});
}

void MicAppDetector::processLogLine(std::string_view line) {
    if (isLogToolChatter(line))
        return;
    auto event = parseAudioMxdLog(line);
    if (!event)
        return;
    log("MicAppDetector: audiomxd event name=" + event->name + " pid=" +
        std::to_string(event->pid) + " input_running=" + (event->inputRunning ? "true" : "false"));
    if (event->inputRunning)
        resolvePIDAndEmit(event->pid, std::move(event->name));
    else
        handleMicStop(event->pid, std::move(event->name));
}

void MicAppDetector::emitError(const std::string& message) {
    writeRecord(micAppErrorLine(message, env_.clock.wallTime()));
}

// ---- sessions ----

void MicAppDetector::resolvePIDAndEmit(platform::Pid pid,
                                       std::optional<std::string> processNameHint) {
    onQueue([pid, hint = std::move(processNameHint)](MicAppDetector& self) {
        self.startHandling(pid, hint);
    });
}

void MicAppDetector::handleMicStop(platform::Pid pid, std::optional<std::string> processNameHint) {
    onQueue([pid, hint = std::move(processNameHint)](MicAppDetector& self) {
        self.stopHandling(pid, hint);
    });
}

void MicAppDetector::startHandling(platform::Pid pid,
                                   const std::optional<std::string>& processNameHint) {
    assert(queue_->isCurrent());
    if (!isMonitoring)
        return;
    auto info = resolver_.resolveBundleInfo(pid, processNameHint);
    if (!info)
        return;
    const double now = env_.clock.wallTime();
    pidToBundleMap.insert_or_assign(pid, *info);
    auto& pids = activePIDsByBundle[info->bundleId];
    const std::size_t before = pids.size();
    pids.insert(pid);
    if (before > 0)
        return;
    if (info->bundleId == lastEmitBundleId && now - lastEmitTime < dedupeWindow)
        return;
    if (writeRecord(micAppEventLine(info->bundleId, info->appName, pid, now))) {
        log("MicAppDetector: Detected app: " + info->appName + " (" + info->bundleId + ")");
    }
    lastEmitBundleId = info->bundleId;
    lastEmitTime = now;
}

void MicAppDetector::stopHandling(platform::Pid pid,
                                  const std::optional<std::string>& processNameHint) {
    assert(queue_->isCurrent());
    auto tracked = pidToBundleMap.find(pid);
    if (tracked == pidToBundleMap.end()) {
        log("MicAppDetector: Ignoring stop for untracked PID " + std::to_string(pid) +
            " hint=" + processNameHint.value_or("?"));
        return;
    }
    const AppIdentity identity = tracked->second;
    pidToBundleMap.erase(tracked);
    auto active = activePIDsByBundle.find(identity.bundleId);
    if (active == activePIDsByBundle.end())
        return;
    active->second.erase(pid);
    if (!active->second.empty())
        return;
    activePIDsByBundle.erase(active);
    if (lastEmitBundleId == identity.bundleId) {
        lastEmitBundleId.clear();
        lastEmitTime = 0;
    }
    if (writeRecord(
            micAppStopEventLine(identity.bundleId, identity.appName, pid, env_.clock.wallTime()))) {
        log("MicAppDetector: App stopped using mic: " + identity.appName + " (" +
            identity.bundleId + ")");
    }
}

std::optional<std::vector<platform::Pid>> MicAppDetector::pidsRunningInput() {
    auto& hardware = *env_.platform.audioHardware;
    const auto objects = hardware.processObjects();
    if (!objects.ok())
        return std::nullopt;
    std::vector<platform::Pid> pids;
    for (const auto object : objects.value()) {
        const auto running = hardware.processIsRunningInput(object);
        if (!running.ok() || running.value() == 0)
            continue;
        const auto pid = hardware.processPid(object);
        if (pid.ok() && pid.value() >= 1)
            pids.push_back(pid.value());
    }
    return pids;
}

void MicAppDetector::reconstructActiveMicSessions() {
    const auto pids = pidsRunningInput();
    if (!pids)
        return;
    if (!pids->empty())
        log("MicAppDetector: Reconstructing " + std::to_string(pids->size()) +
            " active mic session(s) after (re)start");
    for (const auto pid : *pids) {
        if (pid != ownPid_)
            resolvePIDAndEmit(pid, std::nullopt);
    }
    queue_->asyncAfter(dispatch::seconds(reconstructConfirmDelay),
                       [this] { confirmReconstruction(); });
}

void MicAppDetector::confirmReconstruction() {
    if (!isMonitoring)
        return;
    const auto pids = pidsRunningInput();
    if (!pids)
        return;
    for (const auto pid : *pids) {
        if (pid != ownPid_)
            resolvePIDAndEmit(pid, std::nullopt);
    }
    onQueue([](MicAppDetector& self) {
        if (!self.isMonitoring)
            return;
        std::vector<std::string> keys;
        for (const auto& [bundleId, _] : self.activePIDsByBundle)
            keys.push_back(bundleId);
        self.emitActiveSnapshot(keys);
    });
}

void MicAppDetector::startSnapshotTimer() {
    // A timer left from a run whose log launch failed is replaced here.
    snapshotTimer = std::make_unique<dispatch::RepeatingTimer>(
        *queue_, dispatch::seconds(snapshotInterval), dispatch::seconds(snapshotLeeway),
        [this] { emitPeriodicSnapshot(); });
    snapshotTimer->start();
}

void MicAppDetector::emitPeriodicSnapshot() {
    if (!isMonitoring)
        return;
    const auto pids = pidsRunningInput();
    if (!pids)
        return;
    std::set<platform::Pid> running(pids->begin(), pids->end());
    running.erase(ownPid_);
    std::set<std::string> seen;
    for (const auto pid : running) {
        if (auto info = resolver_.resolveBundleInfo(pid, std::nullopt))
            seen.insert(info->bundleId);
    }

    std::vector<std::string> keys;
    for (const auto& [bundleId, _] : activePIDsByBundle)
        keys.push_back(bundleId);
    for (const auto& bundleId : keys) {
        bool present = false;
        if (bundleId.starts_with("process:")) {
            const auto& owned = activePIDsByBundle[bundleId];
            present = std::any_of(owned.begin(), owned.end(),
                                  [&running](platform::Pid pid) { return running.count(pid); });
        } else {
            present = seen.count(bundleId) > 0;
        }
        if (present) {
            snapshotAbsenceCount.erase(bundleId);
            seen.insert(bundleId);
            continue;
        }
        const std::int64_t misses = snapshotAbsenceCount[bundleId] + 1;
        if (misses <= 1) {
            snapshotAbsenceCount[bundleId] = misses;
            seen.insert(bundleId);
        } else {
            prune(bundleId);
        }
    }
    std::erase_if(snapshotAbsenceCount,
                  [this](const auto& entry) { return activePIDsByBundle.count(entry.first) == 0; });

    const std::vector<std::string> listed(seen.begin(), seen.end());
    if (writeRecord(micAppSnapshotLine(listed, env_.clock.wallTime()))) {
        log("MicAppDetector: Emitted active-mic snapshot (" + std::to_string(listed.size()) +
            " app(s))");
    }
}

void MicAppDetector::prune(const std::string& bundleId) {
    snapshotAbsenceCount.erase(bundleId);
    if (auto active = activePIDsByBundle.find(bundleId); active != activePIDsByBundle.end()) {
        for (const auto pid : active->second) {
            auto tracked = pidToBundleMap.find(pid);
            if (tracked != pidToBundleMap.end() && tracked->second.bundleId == bundleId)
                pidToBundleMap.erase(tracked);
        }
        activePIDsByBundle.erase(active);
    }
    if (lastEmitBundleId == bundleId) {
        lastEmitBundleId.clear();
        lastEmitTime = 0;
    }
    log("MicAppDetector: Periodic reconcile \xE2\x80\x94 " + bundleId +
        " released the mic with no log-stream stop; pruned (snapshot ends the meeting)");
}

void MicAppDetector::emitActiveSnapshot(const std::vector<std::string>& bundleIds) {
    writeRecord(micAppSnapshotLine(bundleIds, env_.clock.wallTime()));
}

bool MicAppDetector::writeRecord(const std::optional<std::string>& line) {
    if (!line) {
        log("MicAppDetector: Skipped a record that could not be encoded");
        return false;
    }
    env_.text.writeLine(*line);
    return true;
}

void MicAppDetector::log(std::string_view message) const {
    env_.text.logToStderr(message);
}

}  // namespace ostrovane::monitoring
