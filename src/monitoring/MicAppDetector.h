#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "dispatch/Clock.h"
#include "dispatch/RepeatingTimer.h"
#include "dispatch/SerialQueue.h"
#include "monitoring/LogLineSplitter.h"
#include "monitoring/MicAppResolver.h"
#include "platform/Platform.h"
#include "protocol/TextChannel.h"

namespace ostrovane::monitoring {

// Tells the parent which applications use the microphone. It follows the
// platform's audio-input log (a child process) line by line, maps each
// process that starts or stops running input to its application, and writes
// "MIC_APP_EVENT:" when an application's first process starts,
// "MIC_APP_STOP_EVENT:" when its last one stops, and every 15 s a
// "MIC_APP_SNAPSHOT:" reconciled against the audio system's own view, which
// also ends sessions whose stop the log never reported. A failing log child
// is reported with "MIC_APP_ERROR:" and relaunched 5 s later.
//
// All state lives on the serial queue "com.corvinta.micappdetector"; the
// public operations only queue work there. Work on the queue does not own the
// detector: destroying it waits for the running task and drops the rest, so
// nothing it was lent is used after its owner lets it go.
class MicAppDetector {
  public:
    struct Environment {
        dispatch::Clock& clock;
        dispatch::SerialQueue& mainQueue;  // running-application lookups
        protocol::TextChannel& text;
        platform::Platform platform;
    };

    static constexpr double dedupeWindow = 2.0;
    static constexpr double snapshotInterval = 15.0;
    static constexpr double snapshotLeeway = 2.0;
    static constexpr double reconstructConfirmDelay = 0.75;
    static constexpr double logRestartDelay = 5.0;

    static std::shared_ptr<MicAppDetector> create(Environment environment);
    ~MicAppDetector();

    MicAppDetector(const MicAppDetector&) = delete;
    MicAppDetector& operator=(const MicAppDetector&) = delete;

    void startMonitoring();
    void stopMonitoring();

    class Key {
        friend class MicAppDetector;
        Key() = default;
    };
    MicAppDetector(Key, Environment environment);

  private:
    // Queues `work` on the detector's queue, holding the detector weakly.
    template <class Work>
    void onQueue(Work work);

    // log stream
    void startLogStream();
    void onLogExit(std::uint64_t launch, platform::Termination termination);
    void processLogOutputBuffered(std::span<const std::uint8_t> chunk);
    void processLogLine(std::string_view line);
    void emitError(const std::string& message);

    // sessions
    void resolvePIDAndEmit(platform::Pid pid, std::optional<std::string> processNameHint);
    void handleMicStop(platform::Pid pid, std::optional<std::string> processNameHint);
    void startHandling(platform::Pid pid, const std::optional<std::string>& processNameHint);
    void stopHandling(platform::Pid pid, const std::optional<std::string>& processNameHint);
    std::optional<std::vector<platform::Pid>> pidsRunningInput();
    void reconstructActiveMicSessions();
    void confirmReconstruction();
    void startSnapshotTimer();
    void emitPeriodicSnapshot();
    void prune(const std::string& bundleId);
    void emitActiveSnapshot(const std::vector<std::string>& bundleIds);
    void stopMonitoringInternal();
    // Writes the record, or logs that it could not be built; whether written.
    bool writeRecord(const std::optional<std::string>& line);
    void log(std::string_view message) const;

    Environment env_;
    const platform::Pid ownPid_;
    std::unique_ptr<dispatch::SerialQueue> queue_;

    // Everything below is touched on queue_ only.
    MicAppResolver resolver_;
    std::shared_ptr<platform::ChildProcess> logTask;
    std::uint64_t logLaunch_ = 0;  // which launch logTask is; exits of older ones are stale
    LogLineSplitter lineBuffer;
    bool isMonitoring = false;
    double lastEmitTime = 0;
    std::string lastEmitBundleId;
    std::map<std::string, std::set<platform::Pid>> activePIDsByBundle;
    std::map<platform::Pid, AppIdentity> pidToBundleMap;
    std::unique_ptr<dispatch::RepeatingTimer> snapshotTimer;
    std::map<std::string, std::int64_t> snapshotAbsenceCount;
};

}  // namespace ostrovane::monitoring
