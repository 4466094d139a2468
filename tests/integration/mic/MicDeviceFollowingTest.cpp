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
    world.audio().setDefaultInput("mic-b");
    clock.advanceSeconds(0.1);
    world.audio().setDefaultInput("mic-a");
    clock.advanceSeconds(0.1);
    world.audio().setDefaultInput("mic-b");
    clock.advanceSeconds(0.29);
    EXPECT_EQ(source->selectedDeviceID(), "mic-a");
    EXPECT_TRUE(diagnostics(newLines()).empty());
    clock.advanceSeconds(0.02);
    EXPECT_EQ(source->selectedDeviceID(), "mic-b");
    EXPECT_EQ(world.audio().runningSessions("mic-a"), 0u);
    EXPECT_EQ(world.audio().runningSessions("mic-b"), 1u);
    EXPECT_THAT(diagnostics(newLines()),
                ElementsAre(HoldsFields(nlohmann::json{{"event", "capture_start"},
                                                       {"selectedDevice", {{"id", "mic-b"}}}})));

    // Converted for the new format, each 441-frame buffer arrives once:
    // about one second of 48 kHz stereo in 100 chunks.
    const std::size_t chunksBefore = chunks(), bytesBefore = audio().size();
    clock.advanceSeconds(1);
    EXPECT_NEAR(static_cast<double>(chunks() - chunksBefore), 100, 1);
    EXPECT_NEAR(static_cast<double>(audio().size() - bytesBefore), 192000, 4000);
    EXPECT_TRUE(diagnostics(newLines()).empty());
    EXPECT_TRUE(source->isActive());
}

// While inactive the input is rebuilt but not started. A running source
// released without a stop removes its listener and stops its session; a
// device change still pending then does nothing.
TEST_F(MicDeviceFollowingTest, AnInactiveOrReleasedSourceRunsNothingOnAChange) {
    source = makeSource();
    world.audio().setDefaultInput("mic-b");
    clock.advanceSeconds(0.5);
    EXPECT_TRUE(diagnostics(newLines()).empty());
    EXPECT_EQ(source->selectedDeviceID(), "mic-b");
    EXPECT_EQ(world.audio().runningSessions("mic-b"), 0u);
    EXPECT_FALSE(source->isActive());

    ASSERT_FALSE(startSource());
    EXPECT_EQ(world.audio().listenerCount(), 1u);
    world.audio().setDefaultInput("mic-a");
    clock.advanceSeconds(0.1);
    source.reset();
    clock.advanceSeconds(1);
    EXPECT_EQ(world.audio().listenerCount(), 0u);
    EXPECT_EQ(world.audio().runningSessions("mic-a"), 0u);
    EXPECT_EQ(world.audio().runningSessions("mic-b"), 0u);
}

// A recovery that finds no device to restart on makes the source inactive,
// tells the parent once, and leaves it waiting for an input device to appear
// while capture is still wanted.
struct LostDeviceCase {
    const char* name;
    bool removeDefault;  // else the new default refuses to run
    bool stopBeforeReturn;
    friend void PrintTo(const LostDeviceCase& c, std::ostream* os) { *os << c.name; }
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
        world.audio().setFaults("mic-b", {.inputCreationError = {}, .failToStart = true});
        world.audio().setDefaultInput("mic-b");
    }
    clock.advanceSeconds(0.5);
    EXPECT_FALSE(source->isActive());
    // Said once: neither the idle watchdog nor later changes repeat it.
    clock.advanceSeconds(15);
    EXPECT_THAT(linesStartingWith(newLines(), "RECOVERY_FAILED:"),
                ElementsAre("RECOVERY_FAILED:microphone_device_unavailable:1"));

    if (c.stopBeforeReturn)
        stopSource();
    addDevice({.uid = "mic-c", .name = "Mic C"}, true);
    clock.advanceSeconds(0.5);
    const std::size_t before = chunks();
    clock.advanceSeconds(1);
    const auto lines = newLines();
    const bool resumed = !c.stopBeforeReturn;
    EXPECT_EQ(source->isActive(), resumed);
    EXPECT_EQ(world.audio().runningSessions("mic-c"), resumed ? 1u : 0u);
    EXPECT_EQ(chunks() > before, resumed);
    EXPECT_EQ(diagnostics(lines).size(), resumed ? 1u : 0u);
    EXPECT_EQ(linesStartingWith(lines, "RECOVERY_FAILED:").size(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Recoveries, MicLostDeviceTest,
                         ::testing::Values(LostDeviceCase{"DefaultRefusesToRun", false, false},
                                           LostDeviceCase{"DefaultRemoved", true, false},
                                           LostDeviceCase{"StoppedBeforeADeviceAppears", true,
                                                          true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace ostrovane::sources::mic::testing
