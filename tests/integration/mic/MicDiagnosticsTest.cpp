#include <cstring>

#include "integration/mic/MicFixture.h"
#include "platform/sim/SimSampleBuffer.h"

namespace ostrovane::sources::mic::testing {
namespace {

using nlohmann::json;

class MicDiagnosticsTest : public MicFixture {};

json device(const std::string& id, const std::string& name, bool isDefault, bool isRunning) {
    return {{"id", id}, {"name", name}, {"isDefault", isDefault}, {"isRunning", isRunning}};
}

TEST_F(MicDiagnosticsTest, CaptureStartListsAtMostTenDevicesWithShortNames) {
    const std::string longName(60, 'L');
    addDevice({.uid = "mic-0", .name = longName}, true);
    for (int i = 1; i < 12; ++i)
        addDevice({.uid = "mic-" + std::to_string(i), .name = "Mic " + std::to_string(i)});
    addDevice({.uid = "speaker", .name = "Speaker", .isInput = false});
    world.audio().setRunning("mic-3", platform::Scope::output, true);
    ASSERT_FALSE(startSource());
    const auto records = diagnostics(newLines());
    ASSERT_EQ(records.size(), 1u);
    const json& start = records[0];
    EXPECT_THAT(start, HoldsFields(json::parse(R"({"event": "capture_start", "totalDeviceCount": 12,
            "selectedDevice": {"id": "mic-0", "rms": null, "framesReceived": null},
            "otherRunningDevices": null, "reason": null, "driftDetected": null,
            "currentDefaultId": null})")));
    EXPECT_EQ(start["selectedDevice"]["name"], longName);
    ASSERT_EQ(start["allInputDevices"].size(), 10u);
    EXPECT_EQ(start["allInputDevices"][0], device("mic-0", std::string(50, 'L'), true, true));
    EXPECT_EQ(start["allInputDevices"][3], device("mic-3", "Mic 3", false, true));
    EXPECT_EQ(start["allInputDevices"][4]["isRunning"], false);
}

TEST_F(MicDiagnosticsTest, CaptureProblemReportsLevelsRunningDevicesAndDrift) {
    addDevice({.uid = "mic-a", .name = "Mic A"}, true);
    addDevice({.uid = "mic-b", .name = "Mic B"});
    // Before any configuration: empty selection, drift towards the default.
    source = makeSource();
    source->emitCaptureProblemDiagnostic("no audio \"at all\"");
    EXPECT_THAT(diagnostics(newLines()),
                ElementsAre(HoldsFields(json::parse(R"({"reason": "no audio \"at all\"",
            "selectedDevice": {"id": "", "name": "", "rms": 0.0, "framesReceived": 0},
            "driftDetected": true, "currentDefaultId": "mic-a"})"))));

    ASSERT_FALSE(startSource());
    clock.advanceSeconds(1.005);  // 100 buffers
    world.audio().setRunning("mic-b", platform::Scope::input, true);
    // The default moves, and the reconfiguration has not run yet.
    world.audio().setDefaultInput("mic-b");
    clock.settle();
    newLines();
    source->emitCaptureProblemDiagnostic("user_report");
    const auto records = diagnostics(newLines());
    ASSERT_EQ(records.size(), 1u);
    const json& problem = records[0];
    EXPECT_THAT(problem, HoldsFields(json::parse(R"({"event": "capture_problem",
                    "selectedDevice": {"id": "mic-a", "framesReceived": 100},
                    "otherRunningDevices": [{"id": "mic-b", "name": "Mic B", "isDefault": true,
                                             "isRunning": true}],
                    "totalDeviceCount": null, "driftDetected": true,
                    "currentDefaultId": "mic-b", "reason": "user_report"})")));
    EXPECT_NEAR(problem["selectedDevice"]["rms"].get<double>(), 0.25 / std::sqrt(2.0), 2e-3);
    EXPECT_EQ(problem["allInputDevices"].size(), 2u);

    // Without any default device: drift, but no identifier to name.
    world.audio().setDefaultInput(std::nullopt);
    source->emitCaptureProblemDiagnostic("x");
    EXPECT_THAT(
        diagnostics(newLines()),
        ElementsAre(HoldsFields(json{{"driftDetected", true}, {"currentDefaultId", nullptr}})));
}

using platform::StreamDescription;
using platform::sim::BufferSlot;
using platform::sim::SimSampleBuffer;

// Channel 0 of frame i carries the sample value i - 256; the other channels
// carry loud constants that must not leak into the output.
platform::sim::SampleGenerator rampOnChannelZero() {
    return [](const BufferSlot& slot) -> std::shared_ptr<const platform::SampleBuffer> {
        auto bytes =
            platform::sim::renderPcm(slot.layout, slot.frames, [](std::int64_t i, std::size_t c) {
                return c == 0 ? static_cast<double>(i - 256) / 32768.0
                              : 0.5 + 0.1 * static_cast<double>(c);
            });
        return std::make_shared<SimSampleBuffer>(slot.layout, slot.described, slot.frames,
                                                 std::move(bytes), slot.presentationTime);
    };
}

class MicSamplePathTest : public MicFixture {};

// Channel 0 of a four-channel device, on both output channels (the
// extraction itself is checked sample by sample in the unit tests).
TEST_F(MicSamplePathTest, FourInterleavedChannelsDeliverChannelZeroOnBothOutputChannels) {
    const StreamDescription quad{48000, 4, 16, false, true, false, true, true};
    addDevice({.uid = "quad",
               .name = "Quad",
               .format = quad,
               .framesPerBuffer = 512,
               .generator = rampOnChannelZero()},
              true);
    ASSERT_FALSE(startSource());
    clock.advanceSeconds(0.05);
    const auto bytes = audio();
    ASSERT_GE(bytes.size(), 2048u);
    for (int i : {0, 511}) {
        std::int16_t left, right;
        std::memcpy(&left, bytes.data() + 4 * i, 2);
        std::memcpy(&right, bytes.data() + 4 * i + 2, 2);
        EXPECT_EQ(left, i - 256) << "frame " << i;
        EXPECT_EQ(right, i - 256) << "frame " << i;
    }
}

TEST_F(MicSamplePathTest, UnusableBuffersAreDroppedWithTheirLinesAndTripTheWatchdog) {
    // Three planar float channels whose block is one byte short.
    const StreamDescription planar{48000, 3, 32, true, false, true, true, true};
    addDevice(
        {.uid = "short",
         .name = "Short",
         .format = planar,
         .generator = [](const BufferSlot& slot) -> std::shared_ptr<const platform::SampleBuffer> {
             return std::make_shared<SimSampleBuffer>(
                 slot.layout, true, slot.frames,
                 std::vector<std::byte>(static_cast<std::size_t>(slot.frames) * 4 - 1),
                 slot.presentationTime);
         }},
        true);
    ASSERT_FALSE(startSource());
    clock.advanceSeconds(0.205);  // 20 buffers
    EXPECT_EQ(chunks(), 0u);
    clock.advanceSeconds(10);
    EXPECT_EQ(linesStartingWith(newLines(), "RECOVERY_FAILED:microphone_stopped_delivering_audio:0")
                  .size(),
              1u);
}

TEST_F(MicSamplePathTest, TheStatusDiagnosticComesEveryFiftySecondsWithTheAverageLevel) {
    addDevice({.uid = "mic-a", .name = "Mic A"}, true);  // 0.25 sine: RMS 0.25 / sqrt 2
    ASSERT_FALSE(startSource());
    newLines();
    clock.advanceSeconds(49.9);
    EXPECT_TRUE(diagnostics(newLines()).empty());
    clock.advanceSeconds(0.2);
    auto records = diagnostics(newLines());
    ASSERT_EQ(records.size(), 1u);
    const auto& status = records[0];
    EXPECT_THAT(status, HoldsFields(nlohmann::json::parse(R"({"event": "capture_status",
        "selectedDevice": {"id": "mic-a"}, "driftDetected": null, "currentDefaultId": null,
        "otherRunningDevices": null, "allInputDevices": null})")));
    EXPECT_NEAR(status["selectedDevice"]["rms"].get<double>(), 0.25 / std::sqrt(2.0), 1e-4);
    EXPECT_NEAR(status["selectedDevice"]["framesReceived"].get<double>(), 5000.5, 0.5);

    // The next one 50 s later: its frame count covers everything since the
    // start, its level only the 50 s since the previous record.
    world.audio().setGenerator("mic-a", platform::sim::generators::tone(440, 0.5));
    clock.advanceSeconds(49.7);
    EXPECT_TRUE(diagnostics(newLines()).empty());
    clock.advanceSeconds(0.3);
    records = diagnostics(newLines());
    ASSERT_EQ(records.size(), 1u);
    EXPECT_GE(records[0]["selectedDevice"]["framesReceived"].get<std::int64_t>(), 10000);
    EXPECT_NEAR(records[0]["selectedDevice"]["rms"].get<double>(), 0.5 / std::sqrt(2.0), 2e-3);
}

}  // namespace
}  // namespace ostrovane::sources::mic::testing
