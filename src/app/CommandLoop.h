#pragma once

#include "app/AppContext.h"
#include "app/Commands.h"
#include "app/LineQueue.h"
#include "app/ServiceSlots.h"
#include "app/handlers/DeviceCommands.h"
#include "app/handlers/HostCommands.h"
#include "app/handlers/MicTapHarness.h"
#include "app/handlers/MonitoringCommands.h"
#include "app/handlers/SamplingCommands.h"
#include "app/handlers/StreamingCommands.h"
#include "app/handlers/VideoCommands.h"

namespace ostrovane::app {

// Takes lines from the queue one at a time, in arrival order, logs each,
// finds its handler and runs it to completion before taking the next. Owns
// the service slots.
class CommandLoop {
  public:
    CommandLoop(AppContext& context, LineQueue& lines);

    // Returns at end of input, or after STOP.
    void run();

  private:
    enum class Next { takeNextLine, endLoop };

    Next handle(const InputLine& line);
    Next dispatch(const CommandRequest& request);

    AppContext& context_;
    LineQueue& lines_;
    ServiceSlots slots_;
    HostCommands host_;
    MonitoringCommands monitoring_;
    DeviceCommands devices_;
    StreamingCommands streaming_;
    VideoCommands video_;
    SamplingCommands sampling_;
    MicTapHarness micTap_;
};

}  // namespace ostrovane::app
