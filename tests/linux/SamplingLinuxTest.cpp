// The running-mics sample and the tap self-test of the helper binary, against
// a private sound server and without one, and its device commands without one.
#include <gtest/gtest.h>

#include <cstdlib>
#include <numbers>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "linux/HelperOnPulse.h"
#include "support/ToneFeeder.h"

namespace ostrovane::test {
namespace {

using namespace std::chrono_literals;

using SamplingOnPulse = HelperOnPulse;

// The diagnostics answer before any microphone is recorded. Then microphones
// that behave like hardware, already recorded by another program at the
// server's default latency; in the second run the helper also streams the
// loud one while it samples both. Without a server, everything answers.
TEST_F(SamplingOnPulse, RecordedMicrophonesAreListedWithTheirLevelsAndAnyServerAnswers) {
    const auto diagnosticsAnswer = [&] {
        EXPECT_TRUE(reply("TEST_MIC_TAP", "CMD_RESPONSE:TEST_MIC_TAP:")
                        .starts_with("ok:taps=15 frames=15 avgRMS=0.353"));
        const auto record =
            nlohmann::json::parse(reply("SAMPLE_RUNNING_MICS", "RUNNING_MICS_SAMPLE:"));
        EXPECT_TRUE(record["samples"].empty());
    };
    startHelper();
    diagnosticsAnswer();
    stopHelper();

    struct Mic {
        const char* name;
        double amplitude;
    };
    const std::vector<Mic> mics = {{"quiet_mic", 0.2}, {"loud_mic", 0.6}};
    std::vector<std::unique_ptr<ToneFeeder>> feeders;
    std::vector<SpawnedClient> recorders;
    for (const auto& mic : mics) {
        auto source = pulse.addPipeSource(mic.name, std::string("Tone ") + mic.name);
        ASSERT_TRUE(source);
        feeders.push_back(std::make_unique<ToneFeeder>(*source, 440, mic.amplitude));
        ASSERT_TRUE(feeders.back()->ok());
    }
    // Set first: PulseAudio moves a recording of the default along with it.
    ASSERT_TRUE(pulse.pactl({"set-default-source", "loud_mic"}));
    for (const auto& mic : mics)
        recorders.push_back(pulse.spawn({"parec", "-d", mic.name, "/dev/null"}));
    std::this_thread::sleep_for(500ms);  // parec's streams start running

    for (const bool streaming : {false, true}) {
        SCOPED_TRACE(streaming ? "while streaming" : "idle");
        streaming ? startStreaming() : startHelper();
        const auto record =
            nlohmann::json::parse(reply("SAMPLE_RUNNING_MICS:two", "RUNNING_MICS_SAMPLE:"));
        EXPECT_EQ(record["reason"], "two");
        EXPECT_EQ(record.contains("selectedDeviceId"), streaming);
        ASSERT_EQ(record["samples"].size(), 2u) << record.dump();
        // Loudest first; a sine's RMS is its amplitude over the square root of 2.
        for (std::size_t i = 0; i < 2; ++i) {
            const auto& sample = record["samples"][i];
            const auto& mic = mics[1 - i];
            EXPECT_EQ(sample["id"], mic.name) << record.dump();
            EXPECT_NEAR(sample["rms"].get<double>(), mic.amplitude / std::numbers::sqrt2, 0.05);
            EXPECT_GT(sample["framesCaptured"].get<int>(), 0);
            EXPECT_FALSE(sample.contains("error"));
        }
        stopHelper();
    }

    ::setenv("PULSE_SERVER", "unix:/nonexistent/ostrovane/native", 1);
    startHelper();
    diagnosticsAnswer();
    // Without a server the device commands answer at once.
    EXPECT_EQ(reply("LIST_DEVICES", "CMD_RESPONSE:DEVICES_LIST:", 2s), "[]");
    EXPECT_EQ(reply("GET_CURRENT_MIC", "CMD_RESPONSE:CURRENT_MIC:", 2s),
              "No default microphone found");
    EXPECT_EQ(reply("START_MIC_MONITORING", "CMD_RESPONSE:MIC_MONITORING:", 2s), "started");
}

}  // namespace
}  // namespace ostrovane::test
