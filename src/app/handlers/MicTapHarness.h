#pragma once

#include <cstdint>
#include <string>

#include "app/AppContext.h"

namespace ostrovane::app {

// Why the tap self-test failed without a platform error of its own.
enum class MicTapHarnessError { converterCreationFailed, renderingFailed, noDataCaptured };

std::string describe(MicTapHarnessError error);

// TEST_MIC_TAP: a self-test of the tap-and-convert path that needs no
// microphone. An offline graph renders a 440 Hz tone of amplitude 0.5 for
// 0.3 s, a tap on it collects blocks of one output frame's length, each
// block is converted to the output sample format, and the answer reports how
// many blocks arrived and their average level ("TEST_MIC_TAP:ok:taps=15
// frames=15 avgRMS=0.3536"). Runs to completion on the command loop and
// leaves nothing running.
class MicTapHarness {
  public:
    // A render call that asks to be called again is retried at most this
    // often over one run; an engine that never renders fails the test
    // instead of holding the command loop for ever.
    static constexpr int maxRenderRetries = 100;

    explicit MicTapHarness(AppContext& context) : context_(context) {}

    void runMicTapHarnessCommand();

  private:
    AppContext& context_;
};

}  // namespace ostrovane::app
