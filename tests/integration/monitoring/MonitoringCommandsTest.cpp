#include <algorithm>

#include <nlohmann/json.hpp>

#include "integration/AppOnSimMachine.h"

namespace ostrovane::test {
namespace {

using Lines = std::vector<std::string>;

// The machine has the microphone "sim-mic" as its default input and one
// display.
class MonitoringCommands : public AppOnSimMachine {
  protected:
    MonitoringCommands() {
        world.addTypicalMachine();
        clock.settle();
        baseListeners = world.audio().listenerCount();
    }

    bool monitoring() {
        return answers(run({"START_MIC_MONITORING"}))[0] == "MIC_MONITORING:already_active";
    }

    std::size_t baseListeners = 0;
};

TEST_F(MonitoringCommands, StartAndStopAnswerOnceEachAndReleaseTheListeners) {
    auto lines = run({"START_MIC_MONITORING", "START_MIC_MONITORING"});
    EXPECT_EQ(answers(lines), (Lines{"MIC_MONITORING:started", "MIC_MONITORING:already_active"}));
    EXPECT_EQ(linesStartingWith(lines, "MIC_EVENT:{").size(), 1u);
    EXPECT_GT(world.audio().listenerCount(), baseListeners);

    lines = run({"STOP_MIC_MONITORING", "STOP_MIC_MONITORING"});
    EXPECT_EQ(answers(lines), (Lines{"MIC_MONITORING:stopped", "MIC_MONITORING:not_active"}));
    EXPECT_EQ(world.audio().listenerCount(), baseListeners);  // nothing more to report

    // STOP stops the monitor too.
    run({"START_MIC_MONITORING"});
    ASSERT_EQ(ask("STOP", "STOPPED:"), "STOPPED:ok");
    EXPECT_EQ(world.audio().listenerCount(), baseListeners);
}

TEST_F(MonitoringCommands, MonitoringOutlivesStreaming) {
    // STOP_STREAMING without a streamer still starts monitoring.
    auto lines = run({"STOP_STREAMING"});
    EXPECT_EQ(answers(lines), Lines{"STREAMING:stopped"});
    EXPECT_EQ(linesStartingWith(lines, "MIC_EVENT:").size(), 1u);
    EXPECT_TRUE(monitoring());

    run({"STOP_MIC_MONITORING"});
    lines = run({"START_STREAMING", "START_STREAMING"});
    EXPECT_EQ(linesStartingWith(lines, "CMD_RESPONSE:STREAMING:already_active").size(), 1u);
    EXPECT_TRUE(app.answer("STREAMING:started"));
    // The helper's own capture counts as the microphone running.
    clock.advanceSeconds(1);
    EXPECT_TRUE(app.errors().waitForLineMatching([](const std::string& l) {
        return l.starts_with("MIC_EVENT:") && l.find("\"state\":\"active\"") != std::string::npos;
    }));

    run({"STOP_STREAMING"});
    EXPECT_TRUE(monitoring());
    EXPECT_GT(world.audio().listenerCount(), baseListeners);
}

TEST_F(MonitoringCommands, DeviceDiagnosticWritesTheRecordOnlyWithALiveMicrophone) {
    auto lines = run({"GET_DEVICE_DIAGNOSTIC"});
    EXPECT_EQ(linesStartingWith(lines, "EVENT:DEVICE_DIAGNOSTIC_REQUESTED").size(), 1u);
    EXPECT_EQ(linesStartingWith(lines, "DEVICE_DIAGNOSTIC:").size(), 0u);

    ASSERT_EQ(ask("START_STREAMING", "STREAMING:"), "STREAMING:started");
    const std::size_t from = app.lines().size();
    lines = run({"GET_DEVICE_DIAGNOSTIC:why"});
    EXPECT_EQ(linesStartingWith(lines, "EVENT:DEVICE_DIAGNOSTIC_REQUESTED").size(), 1u);
    const auto record = app.errors().waitForLineMatching(
        [](const std::string& l) { return l.starts_with("DEVICE_DIAGNOSTIC:"); }, from);
    ASSERT_TRUE(record);
    EXPECT_EQ(nlohmann::json::parse(app.lines()[*record].substr(18))["reason"], "why");
    EXPECT_TRUE(answers(lines).empty());
}

using DeviceListing = AppOnSimMachine;

TEST_F(DeviceListing, NamesAreEscapedInTheListAndWrittenAsTheyAreAlone) {
    world.audio().addDevice({.uid = "speaker", .name = "Speaker", .isInput = false});
    EXPECT_EQ(answers(run({"LIST_DEVICES", "GET_CURRENT_MIC"})),
              (Lines{"DEVICES_LIST:[]", "CURRENT_MIC:No default microphone found"}));
    const std::string odd = "Bühne \"Studio\": Mic ☊";
    world.audio().addDevice({.uid = "usb", .name = "USB Mic"});
    world.audio().addDevice({.uid = "odd", .name = odd});
    world.audio().setDefaultInput("odd");
    const auto replies = answers(run({"list_devices", "GET_CURRENT_MIC"}));
    ASSERT_EQ(replies.size(), 2u);
    ASSERT_TRUE(replies[0].starts_with("DEVICES_LIST:["));
    EXPECT_EQ(replies[0].find(' '), replies[0].find("Mic") - 1);  // compact JSON
    EXPECT_EQ(
        nlohmann::json::parse(replies[0].substr(13)),
        nlohmann::json::parse(R"([{"id":"usb","name":"USB Mic","type":"input"},)"
                              R"({"id":"odd","name":"Bühne \"Studio\": Mic ☊","type":"input"}])"));
    EXPECT_EQ(replies[1], "CURRENT_MIC:" + odd);
}

using platform::RenderStatus;
using platform::sim::generators::constant;
using platform::sim::generators::sequence;

const char* const kMics[] = {"quiet", "loud", "varying", "silent", "digital"};

// Five running microphones, the quiet one the default input, and a display
// for streaming. One changes its level within a sampling window, so its
// peak, its mean and its last level differ.
class SamplingCommands : public AppOnSimMachine {
  protected:
    SamplingCommands() {
        world.addTypicalMachine();
        const double levels[] = {0.1, 0.4, 0, 0, 0};
        for (std::size_t i = 0; i < std::size(kMics); ++i) {
            world.audio().addDevice(
                {.uid = kMics[i], .name = kMics[i], .generator = constant(levels[i])});
            world.audio().setRunning(kMics[i], platform::Scope::input, true);
        }
        world.audio().setGenerator(
            "varying", sequence(constant(0.2), 3, sequence(constant(0.8), 2, constant(0.1))));
        world.audio().setDefaultInput("quiet");
    }
};

// Sampled three at a time and listed loudest first. The command announces
// the run, then writes the record and no answer.
TEST_F(SamplingCommands, SampleAnnouncesThenRecordsAtMostThreeAtOnceWithMeanAndPeak) {
    const std::string started = "EVENT:RUNNING_MICS_SAMPLE_STARTED";
    for (const auto& [command, reason] :
         std::vector<std::pair<std::string, std::string>>{{"SAMPLE_RUNNING_MICS", "requested"},
                                                          {"sample_running_mics:", ""},
                                                          {"SAMPLE_RUNNING_MICS:after", "after"}}) {
        SCOPED_TRACE(command);
        const std::size_t from = app.lines().size();
        std::size_t mostOpen = 0;
        const auto json = nlohmann::json::parse(
            stepUntil(command, "RUNNING_MICS_SAMPLE:", dispatch::milliseconds(10), [&] {
                std::size_t open = 0;
                for (const char* uid : kMics)
                    open += world.audio().runningSessions(uid);
                mostOpen = std::max(mostOpen, open);
            }));
        EXPECT_EQ(mostOpen, 3u);
        const auto all = app.lines();
        const std::vector<std::string> lines(all.begin() + static_cast<long>(from), all.end());
        EXPECT_TRUE(answers(lines).empty());
        EXPECT_LT(std::ranges::find(lines, started) - lines.begin(),
                  std::ranges::find_if(lines, [](const std::string& l) {
                      return l.starts_with("RUNNING_MICS_SAMPLE:");
                  }) - lines.begin());
        EXPECT_EQ(json["reason"], reason);
        EXPECT_FALSE(json.contains("selectedDeviceId"));
        // Two rounds: three devices, then the last two as slots free up.
        EXPECT_EQ(json["totalDurationMs"], 520);
        ASSERT_EQ(json["samples"].size(), std::size(kMics));
        double previous = 1;
        for (const auto& sample : json["samples"]) {
            EXPECT_LE(sample["rms"].get<double>(), previous);  // loudest first
            previous = sample["rms"].get<double>();
            if (sample["id"] == "loud") {
                EXPECT_NEAR(previous, 0.4, 1e-6);
            }
            if (sample["id"] == "varying") {
                EXPECT_NEAR(sample["peakRms"].get<double>(), 0.8, 1e-6);
                EXPECT_GT(previous, 0.1 + 1e-3);
                EXPECT_LT(previous, 0.8 - 1e-3);
            }
            // From the device's first buffer (10 ms in), duration + 50 ms on the clock.
            EXPECT_EQ(sample["sampleDurationMs"], 260);
            EXPECT_GT(sample["framesCaptured"].get<int>(), 0);
        }
    }
}

TEST_F(SamplingCommands, SampleNamesTheStreamingMicrophone) {
    ASSERT_EQ(ask("START_STREAMING", "STREAMING:"), "STREAMING:started");
    const auto json =
        nlohmann::json::parse(stepUntil("SAMPLE_RUNNING_MICS", "RUNNING_MICS_SAMPLE:"));
    EXPECT_EQ(json["selectedDeviceId"], "quiet");
}

// The tone arrives in 15 blocks of 960 frames at the level of a sine of
// amplitude 0.5. Render calls that keep asking to be repeated end the test
// after a bounded number of retries; other failures answer their description.
TEST_F(SamplingCommands, MicTapAnswersAndBoundsItsRetries) {
    struct Case {
        const char* name;
        int retries;
        std::optional<platform::Result<RenderStatus>> then;
        std::string answer;
    };
    const platform::Error thrown{"render", -1, "thrown"};
    const std::vector<Case> cases = {
        {"clean run", 0, std::nullopt, "ok:taps=15 frames=15 avgRMS=0.353"},
        {"retries within the bound", 100, std::nullopt, "ok:taps=15 frames=15 avgRMS=0.353"},
        {"retries past the bound", 101, std::nullopt, "error:renderingFailed"},
        {"error status", 0, RenderStatus::error, "error:renderingFailed"},
        {"thrown", 0, thrown, "error:" + thrown.description()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (int i = 0; i < c.retries; ++i)
            world.offlineAudio().pushRenderAnswer(
                i % 2 ? RenderStatus::cannotDoInCurrentContext
                      : RenderStatus::insufficientDataFromInputNode);
        if (c.then)
            world.offlineAudio().pushRenderAnswer(*c.then);
        const std::string answer = stepUntil("TEST_MIC_TAP", "CMD_RESPONSE:TEST_MIC_TAP:");
        EXPECT_TRUE(answer.starts_with(c.answer)) << answer;
    }
}

}  // namespace
}  // namespace ostrovane::test
