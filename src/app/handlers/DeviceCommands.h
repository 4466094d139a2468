#pragma once

#include <string>

#include "app/AppContext.h"
#include "app/ServiceSlots.h"

namespace ostrovane::app {

// LIST_DEVICES, GET_CURRENT_MIC and GET_DEVICE_DIAGNOSTIC: questions about
// the audio input devices. They work in every state.
class DeviceCommands {
  public:
    DeviceCommands(AppContext& context, ServiceSlots& slots) : context_(context), slots_(slots) {}

    // Answers "DEVICES_LIST:" with a JSON array of {"id", "name", "type"}.
    void listDevices();

    // Answers "CURRENT_MIC:" with the default microphone's name.
    void getCurrentMicDevice();

    // Has the streaming microphone write its diagnostic record, if there is
    // one, then writes "EVENT:DEVICE_DIAGNOSTIC_REQUESTED"; no answer.
    void getDeviceDiagnostic(const std::string& reason);

  private:
    AppContext& context_;
    ServiceSlots& slots_;
};

}  // namespace ostrovane::app
