#include "integration/mic/MicFixture.h"

namespace ostrovane::sources::mic::testing {
namespace {

class MicDeviceFollowingTest : public MicFixture {
  protected:
    void SetUp() override {
        addDevice({.uid = "mic-a", .name = "Mic A"}, true);
        addDevice({.uid = "mic-b",
                   .name = "Mic B",
                   .format = {44100, 2, 16, false, true, false, true, true},
                   .framesPerBuffer = 441});
    }
};

TEST_F(MicDeviceFollowingTest, ABurstOfChangesLeadsToOneReconfigurationAfterTheLast) {
    ASSERT_FALSE(startSource());
    newLines();
    const std::string reconfiguring =
        mic("Default device changed, reconfiguring (wasActive=true)...");

    world.audio().setDefaultInput("mic-b");
    clock.advanceSeconds(0.1);
    world.audio().setDefaultInput("mic-a");
    clock.advanceSeconds(0.1);
    world.audio().setDefaultInput("mic-b");
    clock.advanceSeconds(0.29);
    EXPECT_FALSE(has(newLines(), reconfiguring));
    clock.advanceSeconds(0.02);
    auto lines = newLines();
    EXPECT_EQ(count(lines, reconfiguring), 1u);
    EXPECT_TRUE(has(lines, mic("Using device: Mic B")));
    EXPECT_TRUE(has(lines, mic("Session restarted after device change")));
    EXPECT_FALSE(has(lines, mic("Audio output added")));
    EXPECT_EQ(source->selectedDeviceID(), "mic-b");
    EXPECT_EQ(world.audio().runningSessions("mic-a"), 0u);
    EXPECT_EQ(world.audio().runningSessions("mic-b"), 1u);
    const auto records = diagnostics(lines);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0]["event"], "capture_start");
    EXPECT_EQ(records[0]["selectedDevice"]["id"], "mic-b");

    // The pipeline was rebuilt for the new format and audio flows again.
    clock.advanceSeconds(1);
    lines = allLines();
    EXPECT_TRUE(has(lines, "[MicPipeline] Pipeline reset"));
    EXPECT_TRUE(has(lines, "[MicPipeline] Created converter: 44100.0Hz/2ch -> 48000.0Hz/2ch"));
    lines = newLines();
    EXPECT_EQ(count(lines, reconfiguring), 0u);
    EXPECT_TRUE(source->isActive());
}

TEST_F(MicDeviceFollowingTest, WhileInactiveTheInputIsRebuiltButNotStarted) {
    source = makeSource();
    world.audio().setDefaultInput("mic-b");
    clock.advanceSeconds(0.5);
    const auto lines = newLines();
    EXPECT_TRUE(has(lines, mic("Default device changed, reconfiguring (wasActive=false)...")));
    EXPECT_TRUE(has(lines, mic("Using device: Mic B")));
    EXPECT_TRUE(diagnostics(lines).empty());
    EXPECT_EQ(source->selectedDeviceID(), "mic-b");
    EXPECT_EQ(world.audio().runningSessions("mic-b"), 0u);
    EXPECT_FALSE(source->isActive());
}

// A recovery that finds no device to restart on makes the source inactive,
// tells the parent once, and leaves it waiting for an input device to appear
// while capture is still wanted.
struct LostDeviceCase {
    const char* name;
    bool removeDefault;  // else the new default refuses to run
    bool stopBeforeReturn;
    const char* critical;
};

class MicLostDeviceTest : public MicDeviceFollowingTest,
                          public ::testing::WithParamInterface<LostDeviceCase> {};

TEST_P(MicLostDeviceTest, TheParentIsToldOnceAndCaptureResumesWhenADeviceAppears) {
    const LostDeviceCase& c = GetParam();
    ASSERT_FALSE(startSource());
    newLines();
    if (c.removeDefault) {
        world.audio().removeDevice("mic-a");
        world.audio().raiseRuntimeError("mic-a", platform::Error{"d", 1, "gone"});
    } else {
        world.audio().setFaults("mic-b", faults(&platform::sim::SimDeviceFaults::failToStart));
        world.audio().setDefaultInput("mic-b");
    }
    clock.advanceSeconds(0.5);
    auto lines = newLines();
    EXPECT_TRUE(has(lines, mic(kWarn + " CRITICAL: " + c.critical)));
    EXPECT_FALSE(source->isActive());
    // Said once: neither the idle watchdog nor later changes repeat it.
    clock.advanceSeconds(15);
    for (auto& line : newLines())
        lines.push_back(std::move(line));
    EXPECT_EQ(countPrefix(lines, "RECOVERY_FAILED:"), 1u);
    EXPECT_TRUE(has(lines, "RECOVERY_FAILED:microphone_device_unavailable:1"));

    if (c.stopBeforeReturn)
        stopSource();
    addDevice({.uid = "mic-c", .name = "Mic C"}, true);
    clock.advanceSeconds(0.5);
    const std::size_t before = chunks();
    clock.advanceSeconds(1);
    lines = newLines();
    const bool resumed = !c.stopBeforeReturn;
    EXPECT_EQ(source->isActive(), resumed);
    EXPECT_EQ(world.audio().runningSessions("mic-c"), resumed ? 1u : 0u);
    EXPECT_EQ(chunks() > before, resumed);
    EXPECT_EQ(diagnostics(lines).size(), resumed ? 1u : 0u);
    EXPECT_EQ(countPrefix(lines, "RECOVERY_FAILED:"), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Recoveries, MicLostDeviceTest,
    ::testing::Values(
        LostDeviceCase{"DefaultRefusesToRun", false, false,
                       "Session failed to restart after device change - marking inactive"},
        LostDeviceCase{"DefaultRemoved", true, false,
                       "Session failed to restart after runtime error - marking inactive"},
        LostDeviceCase{"StoppedBeforeADeviceAppears", true, true,
                       "Session failed to restart after runtime error - marking inactive"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MicDeviceFollowingTest, AChangePendingAtReleaseDoesNothing) {
    ASSERT_FALSE(startSource());
    world.audio().setDefaultInput("mic-b");
    clock.advanceSeconds(0.1);
    source.reset();
    clock.advanceSeconds(1);
    EXPECT_FALSE(has(newLines(), mic("Default device changed, reconfiguring (wasActive=true)...")));
    EXPECT_EQ(world.audio().runningSessions("mic-b"), 0u);
}

}  // namespace
}  // namespace ostrovane::sources::mic::testing
