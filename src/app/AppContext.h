#pragma once

#include <functional>

#include "dispatch/Clock.h"
#include "dispatch/SerialQueue.h"
#include "platform/Platform.h"
#include "protocol/FrameWriter.h"
#include "protocol/TextChannel.h"

namespace ostrovane::app {

// What every command handler may use: the two output channels, time, the main
// queue, the platform, and the way out of the process.
struct AppContext {
    protocol::TextChannel& text;
    protocol::FrameWriter& frames;
    dispatch::Clock& clock;
    dispatch::MainQueue& mainQueue;
    platform::Platform& platform;
    // Ends the process with a status. The binary exits; tests record it.
    std::function<void(int status)> exitProcess;
};

}  // namespace ostrovane::app
