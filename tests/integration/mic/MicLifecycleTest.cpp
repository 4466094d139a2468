#include "integration/mic/MicFixture.h"

namespace ostrovane::sources::mic::testing {
namespace {

using platform::sim::SimDeviceFaults;

class MicLifecycleTest : public MicFixture {};

TEST_F(MicLifecycleTest, StartCapturesTheDefaultDeviceUntilStopped) {
    addDevice({.uid = "mic-a", .name = "Mic A"}, true);
    source = makeSource();
    EXPECT_FALSE(source->selectedDeviceID());
    EXPECT_EQ(source->sourceID(), "mic");
    EXPECT_EQ(source->frameType(), protocol::AudioProtocol::FrameType::mic);

    ASSERT_FALSE(startSource());
    EXPECT_TRUE(source->isActive());
    EXPECT_EQ(source->selectedDeviceID(), "mic-a");
    EXPECT_EQ(world.audio().runningSessions("mic-a"), 1u);
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
    struct Case {
        std::function<void()> arrange;
        MicrophoneError error;
        std::vector<std::string> lines;
    };
    auto& audio = world.audio();
    const std::vector<Case> cases{
        {[&] { audio.setPermission(false); },
         MicrophoneError::permissionDenied,
         {mic("Starting..."), mic("Permission denied")}},
        {[&] { audio.setDefaultInput(std::nullopt); },
         MicrophoneError::sessionStartFailed,
         {mic("Starting..."), mic("No default audio device found"),
          mic("Session configuration failed (no inputs)")}},
        {[&] {
             SimDeviceFaults f;
             f.inputCreationError =
                 platform::Error{"AVFoundationErrorDomain", -11814, "Cannot Record"};
             audio.setFaults("mic-a", f);
         },
         MicrophoneError::sessionStartFailed,
         {mic("Starting..."), mic("Failed to create input: Cannot Record"),
          mic("Session configuration failed (no inputs)")}},
        {[&] { audio.setFaults("mic-a", faults(&SimDeviceFaults::refuseInput)); },
         MicrophoneError::sessionStartFailed,
         {mic("Starting..."), mic("Cannot add input for device: Mic A"),
          mic("Session configuration failed (no inputs)")}},
        {[&] { audio.refuseOutputs(true); },
         MicrophoneError::sessionStartFailed,
         {mic("Starting..."), mic("Using device: Mic A"), mic("Cannot add audio output"),
          mic("Session configuration failed (no inputs)")}},
        {[&] { audio.setFaults("mic-a", faults(&SimDeviceFaults::failToStart)); },
         MicrophoneError::sessionStartFailed,
         {mic("Starting..."), mic("Using device: Mic A"), mic("Audio output added"),
          mic("Session failed to start")}},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        audio.setPermission(true);
        audio.setDefaultInput("mic-a");
        audio.setFaults("mic-a", {});
        audio.refuseOutputs(false);
        clock.settle();
        cases[i].arrange();
        source = makeSource();
        const auto error = startSource();
        ASSERT_TRUE(error);
        EXPECT_EQ(microphoneErrorOf(*error), cases[i].error);
        EXPECT_EQ(error->localizedDescription(), description(cases[i].error));
        EXPECT_FALSE(source->isActive());
        EXPECT_EQ(newLines(), cases[i].lines);
        source.reset();
        clock.settle();
        newLines();
    }
}

TEST_F(MicLifecycleTest, ReleasingTheSourceDuringStartFailsTheStartAndStopsEverything) {
    addDevice({.uid = "mic-a", .name = "Mic A"}, true);
    const platform::Platform p = world.platform();
    world.audio().holdPermissionAnswers(true);
    auto done = std::make_shared<std::promise<platform::MaybeError>>();
    auto outcome = done->get_future();
    {
        auto doomed = MicrophoneSource::create({p.audioCapture, p.audioHardware, text, clock});
        doomed->start([done](platform::MaybeError e) { done->set_value(std::move(e)); });
    }
    world.audio().holdPermissionAnswers(false);
    ASSERT_EQ(world.audio().releasePermissionAnswers(), 1u);
    clock.settle();
    ASSERT_EQ(outcome.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    const auto error = outcome.get();
    ASSERT_TRUE(error);
    EXPECT_EQ(microphoneErrorOf(*error), MicrophoneError::sessionStartFailed);
    EXPECT_EQ(world.audio().listenerCount(), 0u);

    // A running source released without a stop removes its listener and
    // stops its session.
    ASSERT_FALSE(startSource());
    EXPECT_EQ(world.audio().listenerCount(), 1u);
    source.reset();
    clock.settle();
    EXPECT_EQ(world.audio().listenerCount(), 0u);
    EXPECT_EQ(world.audio().runningSessions("mic-a"), 0u);
    clock.advanceSeconds(2);  // no timer of the source fires any more
}

TEST_F(MicLifecycleTest, RuntimeErrorsRestartTheSessionWhenTheyCarryAnError) {
    addDevice({.uid = "mic-a", .name = "Mic A"}, true);
    ASSERT_FALSE(startSource());
    clock.advanceSeconds(0.1);
    newLines();

    world.audio().raiseRuntimeError(
        "mic-a", platform::Error{"AVFoundationErrorDomain", -11819, "Media services were reset"});
    clock.settle();
    auto lines = newLines();
    EXPECT_TRUE(has(lines, mic(kWarn + " Runtime error: Media services were reset")));
    EXPECT_TRUE(has(lines, mic("Attempting to recover from runtime error...")));
    EXPECT_TRUE(has(lines, mic("Session restarted after runtime error")));
    EXPECT_TRUE(has(lines, "[MicPipeline] Pipeline reset"));
    EXPECT_TRUE(diagnostics(lines).empty());
    EXPECT_EQ(world.audio().runningSessions("mic-a"), 1u);

    world.audio().raiseRuntimeError("mic-a", std::nullopt);
    clock.settle();
    EXPECT_EQ(newLines(), std::vector<std::string>{mic("Runtime error (no error in userInfo)")});
    EXPECT_EQ(world.audio().runningSessions("mic-a"), 0u);
    EXPECT_TRUE(source->isActive());

    // The device now refuses to run: the source gives up and says so.
    world.audio().endInterruption("mic-a");  // running again
    clock.settle();
    ASSERT_EQ(world.audio().runningSessions("mic-a"), 1u);
    newLines();
    world.audio().setFaults("mic-a", faults(&SimDeviceFaults::failToStart));
    world.audio().raiseRuntimeError("mic-a", platform::Error{"d", 1, "gone"});
    clock.settle();
    lines = newLines();
    EXPECT_TRUE(has(lines, mic(kWarn + " CRITICAL: Session failed to restart after runtime error - "
                                       "marking inactive")));
    EXPECT_FALSE(source->isActive());
}

TEST_F(MicLifecycleTest, InterruptionsResumeTheSessionIfItIsStillActive) {
    addDevice({.uid = "mic-a", .name = "Mic A"}, true);
    ASSERT_FALSE(startSource());
    newLines();

    // The end of an interruption while the session still runs changes nothing.
    world.audio().endInterruption("mic-a");
    clock.settle();
    EXPECT_EQ(world.audio().runningSessions("mic-a"), 1u);

    world.audio().interrupt("mic-a", {{"reason", "audio device in use"}});
    clock.settle();
    EXPECT_EQ(world.audio().runningSessions("mic-a"), 0u);

    world.audio().endInterruption("mic-a");
    clock.settle();
    EXPECT_EQ(world.audio().runningSessions("mic-a"), 1u);

    // Inactive: the end of an interruption starts nothing.
    stopSource();
    world.audio().interrupt("mic-a");
    world.audio().endInterruption("mic-a");
    clock.settle();
    EXPECT_EQ(world.audio().runningSessions("mic-a"), 0u);
}

}  // namespace
}  // namespace ostrovane::sources::mic::testing
