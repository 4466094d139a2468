#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <variant>

#include "dispatch/Clock.h"
#include "dispatch/SerialQueue.h"
#include "platform/AudioCaptureDevices.h"
#include "platform/AudioCaptureSession.h"
#include "platform/SampleBuffer.h"
#include "util/ThreadAnnotations.h"

namespace ostrovane::monitoring {

// The level one microphone showed over its sampling window.
struct MicLevel {
    double meanRms = 0;
    double peakRms = 0;
    std::int64_t buffers = 0;
};

// A level, or the description of what kept the device from being measured.
using MicLevelOutcome = std::variant<MicLevel, std::string>;

// Opens one microphone in a capture session of its own, measures the RMS of
// every buffer for `durationMs` and reports the mean and the peak. The window
// opens with the device's first buffer, which a device already running for
// another application may hand a new recording only after a while; it is
// waited for at most kFirstBufferWaitMs. Used once.
//
// Configuration, start, stop and the deadline run on "mic.sampler.session";
// buffers are measured on "mic.sampler.data". Both queues are destroyed first
// with the sampler, so no task outlives the fields it touches; the session is
// stopped before that.
class SingleMicSampler {
  public:
    struct Dependencies {
        std::shared_ptr<platform::AudioCaptureDevices> capture;
        dispatch::Clock& clock;
        // Where the completion runs.
        dispatch::SerialQueue& completionQueue;
    };
    using Completion = std::function<void(const MicLevelOutcome&)>;

    // The deadline falls this long after the configured duration, so the
    // last buffer of the window still counts.
    static constexpr std::int64_t deadlineSlackMs = 50;
    // A device that has sent nothing by then is reported as giving nothing.
    static constexpr std::int64_t kFirstBufferWaitMs = 1000;

    SingleMicSampler(Dependencies dependencies, platform::CaptureDevice device,
                     std::int64_t durationMs);
    ~SingleMicSampler();

    SingleMicSampler(const SingleMicSampler&) = delete;
    SingleMicSampler& operator=(const SingleMicSampler&) = delete;

    // Starts the run and returns at once; `completion` is called once on the
    // completion queue. Must not be destroyed from that call's own queue tasks.
    void sample(Completion completion);

  private:
    void configureAndStart();
    void deadline();
    void firstBufferWaitOver();
    void measure(const platform::SampleBuffer& buffer);
    void completeWith(MicLevelOutcome outcome);

    const std::shared_ptr<platform::AudioCaptureDevices> capture_;
    const platform::CaptureDevice device_;
    const std::int64_t durationMs_;
    dispatch::QueueRef completionQueue_;
    std::shared_ptr<platform::AudioCaptureSession> session_;  // session queue only

    util::Mutex lock_;
    Completion _completion GUARDED_BY(lock_);
    double _rmsAccumulator GUARDED_BY(lock_) = 0;
    double _peakRms GUARDED_BY(lock_) = 0;
    std::int64_t _frameCount GUARDED_BY(lock_) = 0;
    bool _windowOpen GUARDED_BY(lock_) = false;
    bool _isCompleted GUARDED_BY(lock_) = false;

    // Declared last: destroyed (and joined) first.
    dispatch::SerialQueue dataQueue_;
    dispatch::SerialQueue sessionQueue_;
};

}  // namespace ostrovane::monitoring
