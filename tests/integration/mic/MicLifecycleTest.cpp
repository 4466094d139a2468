#include "integration/mic/MicFixture.h"

namespace ostrovane::sources::mic::testing {
namespace {

class MicLifecycleTest : public MicFixture {};

TEST_F(MicLifecycleTest, StartCapturesTheDefaultDeviceUntilStopped) {
    addDevice({.uid = "mic-a", .name = "Mic A"}, true);
    source = makeSource();
    EXPECT_FALSE(source->selectedDeviceID());

    ASSERT_FALSE(startSource());
    EXPECT_TRUE(source->isActive());
    EXPECT_EQ(source->selectedDeviceID(), "mic-a");
    ASSERT_EQ(diagnostics(newLines()).size(), 1u);

    // 10 ms mono buffers, each delivered once as 48 kHz stereo 16-bit.
    clock.advanceSeconds(10.005);
    EXPECT_EQ(chunks(), 1000u);
    EXPECT_EQ(audio().size(), 1000u * 1920);

    // Starting again while active: asks for permission, changes nothing.
    const auto requests = world.audio().permissionRequests();
    ASSERT_FALSE(startSource());
    EXPECT_EQ(world.audio().permissionRequests(), requests + 1);
    EXPECT_EQ(world.audio().runningSessions("mic-a"), 1u);

    stopSource();
    EXPECT_FALSE(source->isActive());
    EXPECT_EQ(world.audio().runningSessions("mic-a"), 0u);
    const auto delivered = chunks();
    clock.advanceSeconds(1);
    EXPECT_EQ(chunks(), delivered);
    stopSource();  // stopping an inactive source is harmless

    // A second start reuses its one output: each buffer still arrives once.
    ASSERT_FALSE(startSource());
    clock.advanceSeconds(0.105);
    EXPECT_EQ(chunks(), delivered + 10);
}

TEST_F(MicLifecycleTest, FailedStartsReportTheirCauseAndLeaveTheSourceInactive) {
    addDevice({.uid = "mic-a", .name = "Mic A"}, true);
    auto& audio = world.audio();
    const std::vector<std::pair<std::function<void()>, MicrophoneError>> cases{
        {[&] { audio.setPermission(false); }, MicrophoneError::permissionDenied},
        {[&] { audio.setDefaultInput(std::nullopt); }, MicrophoneError::sessionStartFailed},
        {[&] {
             audio.setFaults("mic-a", {.inputCreationError = platform::Error{"d", 1, "x"}});
         },
         MicrophoneError::sessionStartFailed},
        {[&] { audio.setFaults("mic-a", {.inputCreationError = {}, .refuseInput = true}); },
         MicrophoneError::sessionStartFailed},
        {[&] { audio.refuseOutputs(true); }, MicrophoneError::sessionStartFailed},
        {[&] { audio.setFaults("mic-a", {.inputCreationError = {}, .failToStart = true}); },
         MicrophoneError::sessionStartFailed},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        audio.setPermission(true);
        audio.setDefaultInput("mic-a");
        audio.setFaults("mic-a", {});
        audio.refuseOutputs(false);
        clock.settle();
        cases[i].first();
        source = makeSource();
        const auto error = startSource();
        ASSERT_TRUE(error);
        EXPECT_EQ(microphoneErrorOf(*error), cases[i].second);
        EXPECT_EQ(error->localizedDescription(), description(cases[i].second));
        EXPECT_FALSE(source->isActive());
        EXPECT_EQ(audio.runningSessions("mic-a"), 0u);
        EXPECT_TRUE(diagnostics(newLines()).empty());
        source.reset();
        clock.settle();
    }
}

TEST_F(MicLifecycleTest, ReleasingTheSourceDuringStartFailsTheStartAndStopsEverything) {
    addDevice({.uid = "mic-a", .name = "Mic A"}, true);
    world.audio().holdPermissionAnswers(true);
    auto outcome = beginStart(*makeSource());
    world.audio().holdPermissionAnswers(false);
    ASSERT_EQ(world.audio().releasePermissionAnswers(), 1u);
    clock.settle();
    ASSERT_EQ(outcome.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    const auto error = outcome.get();
    ASSERT_TRUE(error);
    EXPECT_EQ(microphoneErrorOf(*error), MicrophoneError::sessionStartFailed);
    EXPECT_EQ(world.audio().listenerCount(), 0u);
}

TEST_F(MicLifecycleTest, RuntimeErrorsAndInterruptionsRestartTheSessionWhileItIsActive) {
    addDevice({.uid = "mic-a", .name = "Mic A"}, true);
    ASSERT_FALSE(startSource());
    clock.advanceSeconds(0.1);
    newLines();

    // With an error the session is restarted; without one it stays down.
    world.audio().raiseRuntimeError("mic-a", platform::Error{"d", -11819, "reset"});
    clock.settle();
    EXPECT_EQ(world.audio().runningSessions("mic-a"), 1u);
    const std::size_t before = chunks();
    clock.advanceSeconds(0.1);
    EXPECT_GT(chunks(), before);
    EXPECT_TRUE(diagnostics(newLines()).empty());

    world.audio().raiseRuntimeError("mic-a", std::nullopt);
    clock.settle();
    EXPECT_EQ(world.audio().runningSessions("mic-a"), 0u);
    EXPECT_TRUE(source->isActive());

    // The end of an interruption resumes the session if it is still active,
    // and changes nothing while it runs.
    world.audio().endInterruption("mic-a");
    clock.settle();
    ASSERT_EQ(world.audio().runningSessions("mic-a"), 1u);
    world.audio().interrupt("mic-a", {{"reason", "audio device in use"}});
    clock.settle();
    EXPECT_EQ(world.audio().runningSessions("mic-a"), 0u);
    world.audio().endInterruption("mic-a");
    world.audio().endInterruption("mic-a");
    clock.settle();
    ASSERT_EQ(world.audio().runningSessions("mic-a"), 1u);

    // The device now refuses to run: the source gives up, and the end of an
    // interruption of an inactive source starts nothing.
    world.audio().setFaults("mic-a", {.inputCreationError = {}, .failToStart = true});
    world.audio().raiseRuntimeError("mic-a", platform::Error{"d", 1, "gone"});
    clock.settle();
    EXPECT_FALSE(source->isActive());
    world.audio().setFaults("mic-a", {});
    world.audio().interrupt("mic-a");
    world.audio().endInterruption("mic-a");
    clock.settle();
    EXPECT_EQ(world.audio().runningSessions("mic-a"), 0u);
}

}  // namespace
}  // namespace ostrovane::sources::mic::testing
