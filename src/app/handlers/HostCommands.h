#pragma once

#include "app/AppContext.h"
#include "app/ServiceSlots.h"

namespace ostrovane::app {

// STOP and HEALTH_CHECK: the commands that concern the helper itself.
class HostCommands {
  public:
    HostCommands(AppContext& context, ServiceSlots& slots) : context_(context), slots_(slots) {}

    // Stops every service that exists, answers "STOPPED:ok" and ends the
    // process with status 0 about 100 ms later. The command loop takes no
    // further line afterwards.
    void stop();

    // Answers "HEALTH_OK:" with the current wall time; touches nothing else.
    void healthCheck();

    static constexpr dispatch::Duration kExitDelay = dispatch::milliseconds(100);

  private:
    AppContext& context_;
    ServiceSlots& slots_;
};

}  // namespace ostrovane::app
