#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/VideoEncoder.h"
#include "platform/sim/PlatformThreads.h"
#include "util/ThreadAnnotations.h"

namespace ostrovane::platform::sim {

// Status with which the sim refuses settings it cannot encode.
inline constexpr EncoderStatus kEncoderParameterError = -12902;

// The parameter sets every fake encoder reports.
ParameterSets fakeParameterSets();

// An encoder that does no compression: each image becomes one small access
// unit (an IDR slice on keyframes, a non-IDR slice otherwise) whose payload
// holds the frame's index, delivered on the simulated encoder thread.
class SimVideoEncoders final : public VideoEncoders {
  public:
    explicit SimVideoEncoders(std::shared_ptr<PlatformThreads> threads);

    // ---- scripting: a non-zero status makes that step fail; 0 heals ----
    void failCreation(EncoderStatus status);
    void failEncode(EncoderStatus status);
    void failOutput(EncoderStatus status);

    // ---- observation ----
    std::vector<VideoEncoderSettings> created() const;
    std::int64_t framesSubmitted() const;

    VideoEncoderCreation create(const VideoEncoderSettings& settings) override;

    struct Faults {
        std::atomic<EncoderStatus> encode{0};
        std::atomic<EncoderStatus> output{0};
        std::atomic<std::int64_t> submitted{0};
    };

  private:
    std::shared_ptr<PlatformThreads> threads_;
    std::shared_ptr<Faults> faults_;
    mutable util::Mutex mutex_;
    EncoderStatus _creationStatus GUARDED_BY(mutex_) = 0;
    std::vector<VideoEncoderSettings> _created GUARDED_BY(mutex_);
};

}  // namespace ostrovane::platform::sim
