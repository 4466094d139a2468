#pragma once

#include <deque>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/OfflineAudioEngine.h"

namespace ostrovane::platform::sim {

// Engines that render their graph exactly (no device, no clock): the source
// node's samples scaled by the mixer volume reach the tap in blocks of the
// tap size, and scaled again by the main mixer volume reach the render
// buffer. Faults apply to every engine created afterwards.
class SimOfflineAudio final : public OfflineAudioEngines {
  public:
    struct Faults {
        std::mutex mutex;
        std::optional<Error> enableError;                // guarded by mutex
        std::optional<Error> startError;                 // guarded by mutex
        std::deque<Result<RenderStatus>> renderAnswers;  // guarded by mutex; used first
    };

    SimOfflineAudio();

    void failEnableManualRendering(std::optional<Error> error);
    void failStart(std::optional<Error> error);
    // The next render calls answer these instead of rendering.
    void pushRenderAnswer(Result<RenderStatus> answer);

    std::unique_ptr<OfflineAudioEngine> create() override;

  private:
    std::shared_ptr<Faults> faults_;
};

}  // namespace ostrovane::platform::sim
