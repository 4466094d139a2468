#pragma once

#include <string>

#include "app/AppContext.h"
#include "app/ServiceSlots.h"

namespace ostrovane::app {

// START_VIDEO, STOP_VIDEO, SWITCH_VIDEO, SNAPSHOT_NOW, SCREENSHOT and
// LIST_WINDOWS. Each holds the command loop until the source or the service
// has answered (every wait is bounded).
class VideoCommands {
  public:
    VideoCommands(AppContext& context, ServiceSlots& slots) : context_(context), slots_(slots) {}

    void startVideo(const std::string& argument);
    void stopVideo();
    void switchVideo(const std::string& argument);
    void snapshotNow(const std::string& argument);
    void screenshot();
    void listWindows();

  private:
    AppContext& context_;
    ServiceSlots& slots_;
};

// Stops the video source in the slot, if any, and empties the slot.
void stopVideoSource(ServiceSlots& slots);

}  // namespace ostrovane::app
