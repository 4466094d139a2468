#pragma once

#include <memory>

#include "dispatch/Clock.h"
#include "platform/Platform.h"
#include "platform/sim/PlatformThreads.h"
#include "platform/sim/SimApplications.h"
#include "platform/sim/SimAudio.h"
#include "platform/sim/SimCaptureSession.h"
#include "platform/sim/SimCaptureStream.h"
#include "platform/sim/SimChildProcesses.h"
#include "platform/sim/SimOfflineAudio.h"
#include "platform/sim/SimScreen.h"
#include "platform/sim/SimVideoEncoders.h"

namespace ostrovane::platform::sim {

// A scriptable machine: every platform facility, driven by one clock. With a
// ManualClock nothing happens between two steps of time, and every platform
// callback runs on a simulated platform thread (a queue of the clock), so
// advance() and settle() bring the whole world to rest.
//
// The world starts empty; addTypicalMachine() gives it one microphone and
// one display. The clock must outlive the world and every Platform taken
// from it.
class SimWorld {
  public:
    explicit SimWorld(dispatch::Clock& clock);
    // Closes the platform threads: a callback still running finishes, the
    // rest are dropped, and nothing of the world runs on the clock afterwards,
    // even while objects it handed out (a capture session held by a pending
    // callback) live on.
    ~SimWorld();

    SimWorld(const SimWorld&) = delete;
    SimWorld& operator=(const SimWorld&) = delete;

    // The facilities as the core sees them.
    Platform platform() const;

    SimAudio& audio() { return *audio_; }
    SimScreen& screen() { return *screen_; }
    SimApplications& applications() { return *applications_; }
    SimChildProcesses& childProcesses() { return *childProcesses_; }
    SimVideoEncoders& videoEncoders() { return *videoEncoders_; }
    SimOfflineAudio& offlineAudio() { return *offlineAudio_; }
    dispatch::Clock& clock() { return threads_->clock; }

    // A default microphone "sim-mic" ("Sim Microphone") and a main display 1
    // of 1920 x 1080 points.
    void addTypicalMachine();

  private:
    std::shared_ptr<PlatformThreads> threads_;
    std::shared_ptr<SimAudio> audio_;
    std::shared_ptr<SimScreen> screen_;
    std::shared_ptr<SimApplications> applications_;
    std::shared_ptr<SimChildProcesses> childProcesses_;
    std::shared_ptr<SimVideoEncoders> videoEncoders_;
    std::shared_ptr<SimOfflineAudio> offlineAudio_;
};

}  // namespace ostrovane::platform::sim
