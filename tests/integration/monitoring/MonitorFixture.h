#pragma once

#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

#include "dispatch/ManualClock.h"
#include "monitoring/MicrophoneMonitor.h"
#include "platform/sim/SimWorld.h"
#include "protocol/TextChannel.h"
#include "support/JsonRecords.h"
#include "support/MemoryChannels.h"

namespace ostrovane::monitoring::testing {

using platform::Scope;

// A simulated machine on a manual clock with a default microphone "mic", two
// USB microphones "usb1" and "usb2" and a speaker, and a microphone monitor
// whose text channel is read back line by line.
class MonitorFixture : public ::testing::Test {
  public:
    MonitorFixture() : world(clock) {
        for (const char* uid : {"mic", "usb1", "usb2"})
            world.audio().addDevice({.uid = uid, .name = std::string(uid) + " name"});
        world.audio().addDevice({.uid = "speaker", .name = "Speaker", .isInput = false});
        world.audio().setDefaultInput("mic");
        clock.settle();
    }

    ~MonitorFixture() override {
        monitor.reset();
        clock.settle();
    }

    void startMonitor() {
        monitor = std::make_unique<MicrophoneMonitor>(
            MicrophoneMonitor::Dependencies{world.platform().audioHardware, text, clock});
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
        for (const auto& event : test::records(out.newLines(), "MIC_EVENT:")) {
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

    dispatch::ManualClock clock{1'765'000'000.0};
    platform::sim::SimWorld world;
    test::MemoryChannels out;
    protocol::TextChannel& text = out.text();
    std::unique_ptr<MicrophoneMonitor> monitor;
};

}  // namespace ostrovane::monitoring::testing
