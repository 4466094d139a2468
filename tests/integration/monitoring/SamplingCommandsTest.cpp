#include <algorithm>

#include <nlohmann/json.hpp>

#include "integration/AppOnSimMachine.h"

namespace ostrovane::test {
namespace {

using platform::RenderStatus;

namespace generators = platform::sim::generators;

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
                {.uid = kMics[i], .name = kMics[i], .generator = generators::constant(levels[i])});
            world.audio().setRunning(kMics[i], platform::Scope::input, true);
        }
        world.audio().setGenerator(
            "varying", generators::sequence(generators::constant(0.2), 3,
                                            generators::sequence(generators::constant(0.8), 2,
                                                                 generators::constant(0.1))));
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
    app.send("START_STREAMING");
    ASSERT_TRUE(app.answer("STREAMING:started"));
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
