#include "app/handlers/HostCommands.h"

#include "app/handlers/MonitoringCommands.h"
#include "app/handlers/StreamingCommands.h"
#include "app/handlers/VideoCommands.h"
#include "util/NumberFormat.h"

namespace ostrovane::app {

void HostCommands::stop() {
    context_.text.logToStderr("Stopping all services...");
    // Services stop in this order once they exist: video source, microphone
    // monitor, mic app detector, streamer.
    stopVideoSource(slots_);
    stopMonitors(slots_);
    if (slots_.streamer)
        awaitStreamerStop(context_, *slots_.streamer);
    // The exit is armed before the answer goes out, so whoever sees the answer
    // also sees the exit on its way.
    context_.mainQueue.asyncAfter(kExitDelay, [exit = context_.exitProcess] { exit(0); });
    context_.text.sendCommandResponse("STOPPED:ok");
}

void HostCommands::healthCheck() {
    context_.text.sendCommandResponse("HEALTH_OK:" + shortestDecimal(context_.clock.wallTime()));
}

}  // namespace ostrovane::app
