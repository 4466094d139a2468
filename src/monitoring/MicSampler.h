#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "dispatch/Clock.h"
#include "dispatch/SerialQueue.h"
#include "monitoring/MicSamplerRecords.h"
#include "platform/AudioCaptureDevices.h"
#include "platform/AudioHardware.h"

namespace ostrovane::monitoring {

// Finds the microphones that are running right now and measures how loud
// each one is: every running device is opened for a short capture, at most
// `maxConcurrent` at a time, and the results come back loudest first. Keeps
// no state between runs; each run owns its own samplers.
class MicSampler {
  public:
    struct Dependencies {
        std::shared_ptr<platform::AudioCaptureDevices> capture;
        std::shared_ptr<platform::AudioHardware> hardware;
        // Both must outlive every run.
        dispatch::Clock& clock;
        dispatch::SerialQueue& mainQueue;
    };
    using Logger = std::function<void(const std::string&)>;
    using Done = std::function<void(RunningMicsSampleDiagnostic)>;

    MicSampler(Dependencies dependencies, std::int64_t sampleDurationMs = 200,
               std::int64_t maxConcurrent = 3, Logger logger = nullptr);

    // Runs on the main queue and returns at once; `done` is called there with
    // the record once every running device has been sampled. Never fails: a
    // device that cannot be measured is listed with zeros and its error.
    void sampleRunningMics(std::string reason, std::optional<std::string> selectedDeviceId,
                           Done done) const;

  private:
    struct Run;

    Dependencies dependencies_;
    std::int64_t sampleDurationMs_;
    std::int64_t maxConcurrent_;
    Logger logger_;
};

}  // namespace ostrovane::monitoring
