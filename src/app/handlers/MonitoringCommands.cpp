#include "app/handlers/MonitoringCommands.h"

#include <memory>

namespace ostrovane::app {

namespace {

std::shared_ptr<monitoring::MicrophoneMonitor> startedMicrophoneMonitor(AppContext& context) {
    auto monitor =
        std::make_shared<monitoring::MicrophoneMonitor>(monitoring::MicrophoneMonitor::Dependencies{
            context.platform.audioHardware, context.text, context.clock});
    monitor->startMonitoring();
    return monitor;
}

// The detector follows a child process and asks the platform about processes
// and audio objects; a platform without those facilities has no detector.
std::shared_ptr<monitoring::MicAppDetector> startedMicAppDetector(AppContext& context) {
    const platform::Platform& p = context.platform;
    if (!p.childProcesses || !p.applications || !p.audioHardware)
        return nullptr;
    auto detector = monitoring::MicAppDetector::create(
        {context.clock, context.mainQueue, context.text, context.platform});
    detector->startMonitoring();
    return detector;
}

// A service replaced in its slot is stopped first: a running one left behind
// would keep its listeners and timers and report every event twice.
template <class Service>
void stopAndRelease(std::shared_ptr<Service>& slot) {
    if (slot)
        slot->stopMonitoring();
    slot.reset();
}

}  // namespace

void ensureMonitoring(AppContext& context, ServiceSlots& slots) {
    // Each service is ensured on its own: one may run without the other.
    if (!slots.microphoneMonitor)
        slots.microphoneMonitor = startedMicrophoneMonitor(context);
    if (!slots.micAppDetector)
        slots.micAppDetector = startedMicAppDetector(context);
}

void stopMonitors(ServiceSlots& slots) {
    // The microphone monitor first, then the mic app detector.
    stopAndRelease(slots.microphoneMonitor);
    stopAndRelease(slots.micAppDetector);
}

void MonitoringCommands::startMicMonitoring() {
    if (slots_.microphoneMonitor) {
        context_.text.sendCommandResponse("MIC_MONITORING:already_active");
        return;
    }
    context_.text.logToStderr("Starting mic monitoring...");
    slots_.microphoneMonitor = startedMicrophoneMonitor(context_);
    stopAndRelease(slots_.micAppDetector);
    slots_.micAppDetector = startedMicAppDetector(context_);
    context_.text.sendCommandResponse("MIC_MONITORING:started");
}

void MonitoringCommands::stopMicMonitoring() {
    if (!slots_.microphoneMonitor) {
        context_.text.sendCommandResponse("MIC_MONITORING:not_active");
        return;
    }
    context_.text.logToStderr("Stopping mic monitoring...");
    stopMonitors(slots_);
    context_.text.sendCommandResponse("MIC_MONITORING:stopped");
}

}  // namespace ostrovane::app
