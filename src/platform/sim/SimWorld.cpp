#include "platform/sim/SimWorld.h"

#include "platform/sim/MacAudioInputLog.h"

namespace ostrovane::platform::sim {

SimWorld::SimWorld(dispatch::Clock& clock)
    : threads_(std::make_shared<PlatformThreads>(clock)),
      audio_(std::make_shared<SimAudio>(threads_)),
      screen_(std::make_shared<SimScreen>(threads_)),
      applications_(std::make_shared<SimApplications>(threads_)),
      childProcesses_(std::make_shared<SimChildProcesses>(threads_)),
      videoEncoders_(std::make_shared<SimVideoEncoders>(threads_)),
      offlineAudio_(std::make_shared<SimOfflineAudio>()) {}

SimWorld::~SimWorld() {
    threads_->close();
}

Platform SimWorld::platform() const {
    return Platform{audio_,        audio_,          screen_,       videoEncoders_,
                    applications_, childProcesses_, offlineAudio_, macAudioInputLog()};
}

void SimWorld::addTypicalMachine() {
    audio_->addDevice(SimDeviceSpec{.uid = "sim-mic", .name = "Sim Microphone"});
    audio_->setDefaultInput("sim-mic");
    screen_->addDisplay(SimDisplaySpec{.id = 1, .isMain = true});
}

}  // namespace ostrovane::platform::sim
