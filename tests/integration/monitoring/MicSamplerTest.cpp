#include <functional>
#include <optional>

#include "integration/monitoring/MicAppFixture.h"
#include "monitoring/MicSampler.h"

namespace ostrovane::monitoring {
namespace {

using platform::Scope;
using platform::StreamDescription;
using platform::sim::SimDeviceSpec;
namespace generators = platform::sim::generators;

// The detector's machine; runs a sampler and steps time until its record
// arrives.
class MicSamplerTest : public testing::MicAppFixture {
  protected:
    // A microphone delivering a constant level, running unless told not to.
    void addMic(SimDeviceSpec device, double level, bool running = true) {
        const std::string uid = device.uid;
        device.generator = generators::constant(level);
        world.audio().addDevice(std::move(device));
        world.audio().setRunning(uid, Scope::input, running);
    }

    // Samples in 10 ms steps.
    RunningMicsSampleDiagnostic sample(std::int64_t maxConcurrent = 3,
                                       std::optional<std::string> selected = std::nullopt) {
        MicSampler sampler({platform.audioCapture, platform.audioHardware, clock, mainQueue}, 200,
                           maxConcurrent, [](const std::string&) {});
        std::optional<RunningMicsSampleDiagnostic> record;
        sampler.sampleRunningMics("why", std::move(selected),
                                  [&](RunningMicsSampleDiagnostic r) { record = std::move(r); });
        clock.settle();
        for (int step = 0; step < 500 && !record; ++step)
            clock.advance(dispatch::milliseconds(10));
        EXPECT_TRUE(record);
        return record.value_or(RunningMicsSampleDiagnostic{});
    }
};

TEST_F(MicSamplerTest, NothingRunningOrNoSlotsGivesAnEmptyRecord) {
    addMic({.uid = "a", .name = "A"}, 0.3, false);
    auto record = sample(3, "a");
    EXPECT_TRUE(record.samples.empty());
    EXPECT_EQ(record.totalDurationMs, 0);
    EXPECT_EQ(nlohmann::json::parse(encodeDiagnostic(record).value())["selectedDeviceId"], "a");

    world.audio().setRunning("a", Scope::input, true);
    EXPECT_TRUE(sample(0).samples.empty());
}

// Every sample type a microphone may deliver is measured, not read as silence.
TEST_F(MicSamplerTest, EverySampleLayoutMeasuresTheSameLevel) {
    const std::vector<std::pair<const char*, StreamDescription>> cases = {
        {"float-mono", {48000, 1, 32, true, false, false, true, true}},
        {"int16-stereo", {48000, 2, 16, false, true, false, true, true}},
        {"float-planar", {48000, 2, 32, true, false, true, true, true}},
        {"int32-stereo", {44100, 2, 32, false, true, false, true, true}},
        {"int32-4ch", {48000, 4, 32, false, true, false, true, true}},
        {"int16-6ch-planar", {48000, 6, 16, false, true, true, true, true}},
    };
    for (const auto& [uid, format] : cases)
        addMic({.uid = uid, .name = uid, .format = format}, 0.25);
    const auto record = sample(6);
    ASSERT_EQ(record.samples.size(), cases.size());
    for (const auto& s : record.samples) {
        EXPECT_NEAR(s.rms, 0.25, 1e-4) << s.id;
        EXPECT_GT(s.framesCaptured, 0) << s.id;
    }
}

// A device already busy for another application hands a new recording its
// first buffer late (here after 700 ms): the window opens with it.
TEST_F(MicSamplerTest, TheWindowOpensWithTheDevicesFirstBuffer) {
    addMic({.uid = "busy", .name = "Busy"}, 0);
    world.audio().setGenerator(
        "busy", generators::sequence(generators::stall(), 70, generators::constant(0.3)));
    const auto busy = sample().samples.at(0);
    EXPECT_NEAR(busy.rms, 0.3, 1e-6);
    EXPECT_NEAR(static_cast<double>(busy.sampleDurationMs), 960, 10);
}

TEST_F(MicSamplerTest, AFailingDeviceIsListedWithZerosAndItsError) {
    static const std::string kName = "Ünïcødé " + std::string(60, 'x');
    // What goes wrong, how, and the error the sample carries.
    using Fault = std::function<void(platform::sim::SimAudio&)>;
    const std::vector<std::tuple<const char*, Fault, std::string>> cases = {
        {"input",
         [](auto& a) {
             a.setFaults("bad", {.inputCreationError = platform::Error{"dom", 7, "gone"}});
         },
         "Error Domain=dom Code=7 \"gone\""},
        {"refused input",
         [](auto& a) { a.setFaults("bad", {.inputCreationError = {}, .refuseInput = true}); },
         "cannotAddInput"},
        {"refused output", [](auto& a) { a.refuseOutputs(true); }, "cannotAddOutput"},
        {"start",
         [](auto& a) { a.setFaults("bad", {.inputCreationError = {}, .failToStart = true}); },
         "sessionStartFailed"},
        {"no buffer", [](auto& a) { a.setGenerator("bad", generators::stall()); },
         "noFramesCaptured"},
        {"undescribed buffers",
         [](auto& a) {
             a.removeDevice("bad");
             a.addDevice({.uid = "bad", .name = kName, .describable = false});
             a.setRunning("bad", Scope::input, true);
         },
         "noFramesCaptured"},
    };
    addMic({.uid = "bad", .name = kName}, 0.3);
    addMic({.uid = "good", .name = "Good"}, 0.3);
    for (const auto& [name, fault, error] : cases) {
        SCOPED_TRACE(name);
        fault(world.audio());
        const auto record = sample();
        ASSERT_EQ(record.samples.size(), 2u);
        const auto& bad = record.samples[record.samples[0].id == "bad" ? 0 : 1];
        EXPECT_EQ(bad.id, "bad");
        EXPECT_EQ(bad.error, error);
        EXPECT_EQ(std::tuple(bad.rms, bad.peakRms, bad.framesCaptured),
                  std::tuple(0.0, 0.0, std::int64_t{0}));
        // Cut to 50 characters, never inside one.
        EXPECT_EQ(bad.name, "Ünïcødé " + std::string(42, 'x'));
        world.audio().setFaults("bad", {});
        world.audio().refuseOutputs(false);
        world.audio().setGenerator("bad", generators::constant(0.3));
    }
}

}  // namespace
}  // namespace ostrovane::monitoring
