#pragma once

#include <gmock/gmock.h>

#include <thread>

#include "dispatch/ManualClock.h"
#include "monitoring/MicAppDetector.h"
#include "platform/sim/SimWorld.h"
#include "support/JsonRecords.h"
#include "support/MemoryChannels.h"

namespace ostrovane::monitoring::testing {

using test::HoldsFields;
using test::records;
using Lines = std::vector<std::string>;
using ::testing::ElementsAre;

inline const std::string kLogTool = "/usr/bin/log";

// One audio-server line in the log tool's compact style.
inline std::string logLine(const std::string& name, platform::Pid pid, bool running) {
    return "2026-12-06 13:02:11.123 Df coreaudiod[188:4410] [com.apple.coreaudio:as_server] "
           "{\"session\":{\"name\":\"" +
           name + "(" + std::to_string(pid) +
           ")\",\"id\":7},\"details\":{\"input_running\":" + (running ? "true" : "false") + "}}\n";
}

// A simulated machine with a speaker (an output no microphone code may take)
// on a manual clock whose main queue is served by a thread of the fixture; a
// detector on it, its text channel read back.
class MicAppFixture : public ::testing::Test {
  protected:
    MicAppFixture() : world(clock) {
        world.audio().addDevice({.uid = "speaker", .name = "Speaker", .isInput = false});
        mainThread = std::thread([this] { mainQueue.run(); });
    }
    ~MicAppFixture() override {
        detector.reset();
        clock.settle();
        mainQueue.stop();
        mainThread.join();
    }

    void start() {
        if (!detector)
            detector = MicAppDetector::create({clock, mainQueue, channels.text(), platform});
        detector->startMonitoring();
        clock.settle();
    }
    void stop() {
        detector->stopMonitoring();
        clock.settle();
    }

    platform::sim::SimChild& logChild() { return *world.childProcesses().lastChild(); }
    void say(const std::string& name, platform::Pid pid, bool running) {
        logChild().write(logLine(name, pid, running));
        clock.settle();
    }

    // Lines written since the previous call.
    std::vector<std::string> fresh() { return channels.newLines(); }
    // "bundle id|app name" of each start event among `lines`.
    static std::vector<std::string> starts(const std::vector<std::string>& lines) {
        std::vector<std::string> out;
        for (const auto& e : records(lines, "MIC_APP_EVENT:"))
            out.push_back(e["bundleId"].get<std::string>() + "|" + e["appName"].get<std::string>());
        return out;
    }
    // The bundle ids of each snapshot among `lines`, sorted.
    static std::vector<std::vector<std::string>> snapshots(const std::vector<std::string>& lines) {
        std::vector<std::vector<std::string>> out;
        for (const auto& record : records(lines, "MIC_APP_SNAPSHOT:")) {
            auto ids = record["bundleIds"].get<std::vector<std::string>>();
            std::sort(ids.begin(), ids.end());
            out.push_back(ids);
        }
        return out;
    }

    dispatch::ManualClock clock;
    platform::sim::SimWorld world;
    platform::Platform platform = world.platform();  // what the detector is built on
    dispatch::MainQueue mainQueue{clock};
    std::thread mainThread;
    test::MemoryChannels channels;
    std::shared_ptr<MicAppDetector> detector;
};

}  // namespace ostrovane::monitoring::testing
