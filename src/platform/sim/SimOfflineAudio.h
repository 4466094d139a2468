#pragma once

#include <deque>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/OfflineAudioEngine.h"
#include "util/ThreadAnnotations.h"

namespace ostrovane::platform::sim {

// Engines that render their graph exactly (no device, no clock): the source
// node's samples scaled by the mixer volume reach the tap in blocks of the
// tap size, and scaled again by the main mixer volume reach the render
// buffer. Faults apply to every engine created afterwards.
class SimOfflineAudio final : public OfflineAudioEngines {
  public:
    struct Faults {
        util::Mutex mutex;
        std::optional<Error> enableError GUARDED_BY(mutex);
        std::optional<Error> startError GUARDED_BY(mutex);
        std::deque<Result<RenderStatus>> renderAnswers GUARDED_BY(mutex);  // used first
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
