#pragma once

#include "app/AppContext.h"
#include "app/ServiceSlots.h"

namespace ostrovane::app {

// Makes sure the monitoring services exist and run, starting each one whose
// slot is empty; nothing is logged or answered. Part of START_STREAMING and
// STOP_STREAMING, so monitoring outlives streaming.
void ensureMonitoring(AppContext& context, ServiceSlots& slots);

// Stops and releases the monitoring services that exist (STOP).
void stopMonitors(ServiceSlots& slots);

// START_MIC_MONITORING and STOP_MIC_MONITORING.
class MonitoringCommands {
  public:
    MonitoringCommands(AppContext& context, ServiceSlots& slots)
        : context_(context), slots_(slots) {}

    // Starts the monitoring services; answers "MIC_MONITORING:started", or
    // "MIC_MONITORING:already_active" when the device monitor runs.
    void startMicMonitoring();

    // Stops and releases them; answers "MIC_MONITORING:stopped", or
    // "MIC_MONITORING:not_active" when the device monitor does not run.
    void stopMicMonitoring();

  private:
    AppContext& context_;
    ServiceSlots& slots_;
};

}  // namespace ostrovane::app
