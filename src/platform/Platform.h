#pragma once

#include <memory>

#include "platform/Applications.h"
#include "platform/AudioCaptureDevices.h"
#include "platform/AudioCaptureSession.h"
#include "platform/AudioHardware.h"
#include "platform/AudioInputLog.h"
#include "platform/ChildProcess.h"
#include "platform/OfflineAudioEngine.h"
#include "platform/ScreenCapture.h"
#include "platform/VideoEncoder.h"

namespace ostrovane::platform {

// The bundle of provider interfaces an App is built with. The binary hands it
// the Linux provider; tests hand it the simulated one. The provider that made
// it keeps every facility alive as long as the bundle is held.
struct Platform {
    std::shared_ptr<AudioCaptureDevices> audioCapture;
    std::shared_ptr<AudioHardware> audioHardware;
    std::shared_ptr<ScreenCapture> screenCapture;
    std::shared_ptr<VideoEncoders> videoEncoders;
    std::shared_ptr<Applications> applications;
    std::shared_ptr<ChildProcesses> childProcesses;
    std::shared_ptr<OfflineAudioEngines> offlineAudioEngines;
    // What the microphone-app detector follows; an empty command: nothing.
    AudioInputLog audioInputLog;
};

}  // namespace ostrovane::platform
