#include <functional>
#include <memory>

#include "integration/monitoring/MicAppFixture.h"
#include "monitoring/MicrophoneMonitor.h"

namespace ostrovane::monitoring::testing {
namespace {

using platform::Scope;

// The detector's machine with a default microphone "mic" and two USB
// microphones "usb1" and "usb2", and a microphone monitor on it.
class MonitorFixture : public MicAppFixture {
  public:
    using MicAppFixture::clock;
    using MicAppFixture::world;

    MonitorFixture() {
        for (const char* uid : {"mic", "usb1", "usb2"})
            world.audio().addDevice({.uid = uid, .name = std::string(uid) + " name"});
        world.audio().setDefaultInput("mic");
        clock.settle();
    }

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

// One step of a scenario: an action, then time passes, then exactly these
// "MIC_EVENT:" lines ("state uid") have been written.
struct Step {
    std::function<void(MonitorFixture&)> action;
    double advance = 0;
    std::vector<std::string> expected;
};

struct Scenario {
    std::string name;
    std::vector<Step> steps;
    friend void PrintTo(const Scenario& c, std::ostream* os) { *os << c.name; }
};

const auto start = [](MonitorFixture& f) { f.startMonitor(); };
const auto nothing = [](MonitorFixture&) {};
std::function<void(MonitorFixture&)> running(std::string uid, bool on, Scope scope = Scope::input) {
    return [=](MonitorFixture& f) { f.setRunning(uid, on, scope); };
}
std::function<void(MonitorFixture&)> defaultInput(std::optional<std::string> uid) {
    return [=](MonitorFixture& f) {
        f.world.audio().setDefaultInput(uid);
        f.clock.settle();
    };
}

class MonitorScenarioTest : public MonitorFixture,
                            public ::testing::WithParamInterface<Scenario> {};

TEST_P(MonitorScenarioTest, WritesTheExpectedLines) {
    int index = 0;
    for (const Step& step : GetParam().steps) {
        SCOPED_TRACE("step " + std::to_string(index++));
        step.action(*this);
        clock.advanceSeconds(step.advance);
        EXPECT_EQ(micEvents(), step.expected);
    }
}

const Scenario kScenarios[] = {
    {"DefaultIdleAtStart", {{start, 0, {"inactive mic"}}, {nothing, 3, {}}}},
    {"DefaultActiveAtStart",
     {{running("mic", true), 0, {}}, {start, 0, {"active mic"}}, {nothing, 3, {}}}},
    {"EveryRunningFiringWritesALine",
     {{start, 0, {"inactive mic"}},
      {running("mic", true, Scope::global), 0, {"active mic"}},
      {running("mic", true, Scope::input), 0, {"active mic"}},
      {running("mic", false, Scope::global), 1, {"active mic"}},
      {running("mic", false, Scope::input), 1, {"inactive mic"}}}},
    {"AnotherDeviceStartsAndStops",
     {{start, 0, {"inactive mic"}},
      {running("usb1", true), 0.5, {"active usb1"}},
      {nothing, 3, {}},
      {running("usb1", false), 0.5, {"inactive mic"}},
      {nothing, 3, {}}}},
    {"SwitchBetweenTwoOtherDevices",
     {{start, 0, {"inactive mic"}},
      {running("usb1", true), 0.5, {"active usb1"}},
      {running("usb2", true), 0.5, {}},
      {running("usb1", false), 0.5, {"active usb2"}},
      {running("usb2", false), 0.5, {"inactive mic"}}}},
    {"DefaultDeviceChanges",
     {{start, 0, {"inactive mic"}},
      {running("usb1", true), 0.5, {"active usb1"}},
      {defaultInput("usb1"), 0, {"device_changed usb1", "active usb1"}},
      {nothing, 3, {}},
      // The old default is no longer listened to, and the default device
      // wins the poll while it runs.
      {running("mic", true), 0.5, {}},
      {running("usb1", false), 0, {"inactive usb1"}},
      {nothing, 0.5, {"active mic"}},
      {running("mic", false), 0.5, {"inactive usb1"}}}},
    {"DefaultChangedToNoneKeepsTheOldDevice",
     {{start, 0, {"inactive mic"}},
      {defaultInput(std::nullopt), 1, {}},
      {running("mic", true), 0, {"active mic"}},
      {running("usb1", true), 0.5, {}}}},
    {"AddedDeviceIsPolled",
     {{start, 1, {"inactive mic"}},
      {[](MonitorFixture& f) {
           f.world.audio().addDevice({.uid = "usb3", .name = "usb3 name"});
           f.setRunning("usb3", true);
       },
       0.5,
       {"active usb3"}}}},
    {"NoDefaultDeviceNeverWritesALine",
     {{defaultInput(std::nullopt), 0, {}},
      {start, 0, {}},
      {running("usb1", true), 1, {}},
      {defaultInput("mic"), 1, {}}}},
};

INSTANTIATE_TEST_SUITE_P(Monitor, MonitorScenarioTest, ::testing::ValuesIn(kScenarios),
                         [](const auto& info) { return info.param.name; });

TEST_F(MonitorFixture, StopRemovesEveryListenerAndWritesNothingMore) {
    const std::size_t before = world.audio().listenerCount();
    startMonitor();
    EXPECT_EQ(world.audio().listenerCount(), before + 3);
    EXPECT_EQ(micEvents(), std::vector<std::string>{"inactive mic"});

    monitor->stopMonitoring();
    EXPECT_EQ(world.audio().listenerCount(), before);
    setRunning("mic", true);
    setRunning("usb1", true);
    world.audio().setDefaultInput("usb2");
    clock.advanceSeconds(3);
    EXPECT_EQ(micEvents(), std::vector<std::string>{});

    // A restart watches the new default; releasing without a stop cleans up too.
    monitor->startMonitoring();
    clock.settle();
    EXPECT_EQ(micEvents(), std::vector<std::string>{"inactive usb2"});
    EXPECT_EQ(world.audio().listenerCount(), before + 3);
    monitor.reset();
    EXPECT_EQ(world.audio().listenerCount(), before);
    EXPECT_EQ(clock.pendingTimers(), 0u);
}

}  // namespace
}  // namespace ostrovane::monitoring::testing
