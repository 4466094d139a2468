#pragma once

#include <memory>

#include "integration/monitoring/MicAppFixture.h"
#include "monitoring/MicrophoneMonitor.h"

namespace ostrovane::monitoring::testing {

using platform::Scope;

// The detector's machine with a default microphone "mic", two USB
// microphones "usb1" and "usb2" and a speaker, and a microphone monitor on
// it.
class MonitorFixture : public MicAppFixture {
  public:
    using MicAppFixture::clock;
    using MicAppFixture::world;

    MonitorFixture() {
        for (const char* uid : {"mic", "usb1", "usb2"})
            world.audio().addDevice({.uid = uid, .name = std::string(uid) + " name"});
        world.audio().addDevice({.uid = "speaker", .name = "Speaker", .isInput = false});
        world.audio().setDefaultInput("mic");
        clock.settle();
    }

    ~MonitorFixture() override { monitor.reset(); }

    void startMonitor() {
        monitor = std::make_unique<MicrophoneMonitor>(
            MicrophoneMonitor::Dependencies{platform.audioHardware, channels.text(), clock});
        monitor->startMonitoring();
        clock.settle();
    }

    void setRunning(const std::string& uid, bool running, Scope scope = Scope::input) {
        world.audio().setRunning(uid, scope, running);
        clock.settle();
    }

    // The "MIC_EVENT:" lines since the previous call, each as "state uid".
    // Every line must carry the device's id as a string, its name and a
    // numeric timestamp.
    std::vector<std::string> micEvents() {
        std::vector<std::string> events;
        for (const auto& event : records(fresh(), "MIC_EVENT:")) {
            const std::string name = event["deviceName"];
            const std::string uid = name.substr(0, name.find(' '));
            const auto id = world.audio().objectId(uid);
            EXPECT_EQ(event["deviceId"], std::to_string(id ? id->value : 0)) << event;
            EXPECT_EQ(name, uid + " name");
            EXPECT_TRUE(event["timestamp"].is_number()) << event;
            events.push_back(event["state"].get<std::string>() + " " + uid);
        }
        return events;
    }

    std::unique_ptr<MicrophoneMonitor> monitor;
};

}  // namespace ostrovane::monitoring::testing
