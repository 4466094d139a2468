#pragma once

#include <memory>

#include "monitoring/MicAppDetector.h"
#include "monitoring/MicrophoneMonitor.h"
#include "streaming/SimpleAudioStreamer.h"
#include "video/ScreenVideoSource.h"

namespace ostrovane::app {

// The long-lived services the command loop owns between commands: the
// streamer, the microphone device monitor, the mic app detector and the video
// source. Each slot starts empty, is filled by the command that creates its
// service and emptied by the one that releases it; only the command loop
// touches them, so they need no lock. Slots appear here as their services
// are built.
struct ServiceSlots {
    std::shared_ptr<streaming::SimpleAudioStreamer> streamer;
    std::shared_ptr<monitoring::MicrophoneMonitor> microphoneMonitor;
    std::shared_ptr<monitoring::MicAppDetector> micAppDetector;
    std::shared_ptr<video::ScreenVideoSource> videoSource;
};

}  // namespace ostrovane::app
