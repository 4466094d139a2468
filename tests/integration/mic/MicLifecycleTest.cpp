#include <cmath>

#include <limits>
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
        const auto error = startSource();
        ASSERT_TRUE(error);
        EXPECT_EQ(microphoneErrorOf(*error), cases[i].second);
        EXPECT_EQ(error->localizedDescription(), description(cases[i].second));
        EXPECT_FALSE(source->isActive());
        EXPECT_EQ(audio.runningSessions("mic-a"), 0u);
        EXPECT_TRUE(diagnostics(newLines()).empty());
        source.reset();
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

namespace generators = platform::sim::generators;
using Lines = std::vector<std::string>;

const std::string kAttempt1 = "RECOVERY_ATTEMPT:1:3:microphone is producing no audio";
const std::string kSilentFailure =
    "RECOVERY_FAILED:Your microphone is producing no audio \u2014 try switching your input device "
    "(e.g. unpair Bluetooth headphones):3";
const std::string kStalled = "RECOVERY_FAILED:microphone_stopped_delivering_audio:0";

class MicSilenceTest : public MicFixture {
  protected:
    void SetUp() override {
        addDevice({.uid = "mic-a", .name = "Mic A", .generator = generators::silence()}, true);
    }

    void startAndMark() {
        started_ = clock.uptime();
        ASSERT_FALSE(startSource());
        newLines();
    }

    // The "RECOVERY_" lines written up to `t` seconds after the start.
    Lines recovery(double t) {
        clock.advance(dispatch::seconds(t) - (clock.uptime() - started_));
        Lines out;
        for (auto& line : newLines()) {
            if (line.starts_with("RECOVERY_"))
                out.push_back(std::move(line));
        }
        return out;
    }

    void play(platform::sim::SampleGenerator generator) {
        world.audio().setGenerator("mic-a", std::move(generator));
    }

    dispatch::Duration started_{0};
};

TEST_F(MicSilenceTest, ThreeSameDeviceRestartsSixSecondsApartThenTheFailureThenTheRecovery) {
    startAndMark();
    EXPECT_EQ(recovery(7.995), Lines{});
    EXPECT_EQ(recovery(8.025), Lines{kAttempt1});
    // The session on the same device pauses and runs again 0.3 s later.
    EXPECT_EQ(world.audio().runningSessions("mic-a"), 0u);
    recovery(8.4);
    EXPECT_EQ(world.audio().runningSessions("mic-a"), 1u);
    EXPECT_EQ(source->selectedDeviceID(), "mic-a");

    // Once alerted, further silence says nothing until sound returns.
    const std::vector<std::pair<double, Lines>> timeline{
        {13.995, {}}, {14.05, {"RECOVERY_ATTEMPT:2:3:microphone is producing no audio"}},
        {19.99, {}},  {20.1, {"RECOVERY_ATTEMPT:3:3:microphone is producing no audio"}},
        {25.99, {}},  {26.2, {kSilentFailure}},
        {60, {}}};
    for (const auto& [t, expected] : timeline)
        EXPECT_EQ(recovery(t), expected) << t;
    play(generators::tone(440, 0.25));
    EXPECT_EQ(recovery(60.05), Lines{"RECOVERY_SUCCESS"});
    EXPECT_EQ(recovery(90), Lines{});
}

TEST_F(MicSilenceTest, SoundAfterOneAttemptIsASuccessAndShortSilenceIsNot) {
    startAndMark();
    // Sound returns after 7.9 s: nothing to report; a new stretch starts afresh.
    recovery(7.9);
    play(generators::tone(440, 0.25));
    recovery(8.5);
    play(generators::silence());
    EXPECT_EQ(recovery(16.45), Lines{});
    EXPECT_EQ(recovery(16.6), Lines{kAttempt1});
    play(generators::tone(440, 0.25));
    EXPECT_EQ(recovery(17.5), Lines{"RECOVERY_SUCCESS"});
}

TEST_F(MicSilenceTest, AStopDuringTheRecoveryPauseKeepsTheSessionStopped) {
    startAndMark();
    ASSERT_EQ(recovery(8.02), Lines{kAttempt1});
    stopSource();
    recovery(10);
    EXPECT_EQ(world.audio().runningSessions("mic-a"), 0u);
    EXPECT_FALSE(source->isActive());

    // A new start begins a fresh silent stretch; NaN samples are silence too.
    play(generators::constant(std::numeric_limits<double>::quiet_NaN()));
    startAndMark();
    EXPECT_EQ(recovery(7.99), Lines{});
    EXPECT_EQ(recovery(8.03), Lines{kAttempt1});
}

TEST_F(MicSilenceTest, TheWatchdogReportsEachGapInDeliveryOnce) {
    play(generators::stall());
    startAndMark();
    EXPECT_EQ(recovery(9.5), Lines{});
    EXPECT_EQ(recovery(10.5), Lines{kStalled});
    EXPECT_EQ(recovery(40), Lines{});

    // Buffers come back, then stop again: one more report, 10 s after the last.
    play(generators::tone(440, 0.25));
    recovery(41);
    play(generators::stall());
    EXPECT_EQ(recovery(50.9), Lines{});
    EXPECT_EQ(recovery(52), Lines{kStalled});

    // A stopped source has no watchdog.
    stopSource();
    play(generators::tone(440, 0.25));
    recovery(53);
    play(generators::stall());
    EXPECT_EQ(recovery(80), Lines{});
}

}  // namespace
}  // namespace ostrovane::sources::mic::testing
