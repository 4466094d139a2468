#pragma once

#include <string>

#include "app/AppContext.h"
#include "app/ServiceSlots.h"

namespace ostrovane::app {

// SAMPLE_RUNNING_MICS: measures every running microphone in the background
// and writes one "RUNNING_MICS_SAMPLE:" record when done. Answers at once
// with "EVENT:RUNNING_MICS_SAMPLE_STARTED"; repeated requests run side by
// side, each with its own sampler.
class SamplingCommands {
  public:
    SamplingCommands(AppContext& context, ServiceSlots& slots) : context_(context), slots_(slots) {}

    void sampleRunningMics(const std::string& reason);

  private:
    AppContext& context_;
    ServiceSlots& slots_;
};

}  // namespace ostrovane::app
