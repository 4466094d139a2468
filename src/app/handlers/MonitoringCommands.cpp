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
}

void stopMonitors(ServiceSlots& slots) {
    // The microphone monitor first, then the mic app detector.
    stopAndRelease(slots.microphoneMonitor);
}

void MonitoringCommands::startMicMonitoring() {
    if (slots_.microphoneMonitor) {
        context_.text.sendCommandResponse("MIC_MONITORING:already_active");
        return;
    }
    context_.text.logToStderr("Starting mic monitoring...");
    slots_.microphoneMonitor = startedMicrophoneMonitor(context_);
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
