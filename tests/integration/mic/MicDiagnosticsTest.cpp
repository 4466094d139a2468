#include "integration/mic/MicFixture.h"

namespace ostrovane::sources::mic::testing {
namespace {

using nlohmann::json;

class MicDiagnosticsTest : public MicFixture {};

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
    EXPECT_EQ(start["event"], "capture_start");
    EXPECT_EQ(start["selectedDevice"], (json{{"id", "mic-0"}, {"name", longName}}));
    EXPECT_EQ(start["totalDeviceCount"], 12);
    ASSERT_EQ(start["allInputDevices"].size(), 10u);
    EXPECT_EQ(start["allInputDevices"][0], (json{{"id", "mic-0"},
                                                 {"name", std::string(50, 'L')},
                                                 {"isDefault", true},
                                                 {"isRunning", true}}));
    EXPECT_EQ(
        start["allInputDevices"][3],
        (json{{"id", "mic-3"}, {"name", "Mic 3"}, {"isDefault", false}, {"isRunning", true}}));
    EXPECT_EQ(start["allInputDevices"][4]["isRunning"], false);
    for (const char* absent :
         {"otherRunningDevices", "reason", "driftDetected", "currentDefaultId"}) {
        EXPECT_FALSE(start.contains(absent)) << absent;
    }
    EXPECT_FALSE(start["selectedDevice"].contains("rms"));
    EXPECT_FALSE(start["selectedDevice"].contains("framesReceived"));
}

TEST_F(MicDiagnosticsTest, CaptureProblemReportsLevelsRunningDevicesAndDrift) {
    addDevice({.uid = "mic-a", .name = "Mic A"}, true);
    addDevice({.uid = "mic-b", .name = "Mic B"});
    // Before any configuration: empty selection, drift towards the default.
    source = makeSource();
    source->emitCaptureProblemDiagnostic("no audio \"at all\"");
    auto lines = newLines();
    auto records = diagnostics(lines);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0]["selectedDevice"],
              (json{{"id", ""}, {"name", ""}, {"rms", 0.0}, {"framesReceived", 0}}));
    EXPECT_EQ(records[0]["reason"], "no audio \"at all\"");
    EXPECT_EQ(records[0]["driftDetected"], true);
    EXPECT_EQ(records[0]["currentDefaultId"], "mic-a");

    ASSERT_FALSE(startSource());
    clock.advanceSeconds(1.005);  // 100 buffers
    world.audio().setRunning("mic-b", platform::Scope::input, true);
    // The default moves, and the reconfiguration has not run yet.
    world.audio().setDefaultInput("mic-b");
    clock.settle();
    newLines();
    source->emitCaptureProblemDiagnostic("user_report");
    lines = newLines();
    records = diagnostics(lines);
    ASSERT_EQ(records.size(), 1u);
    const json& problem = records[0];
    EXPECT_EQ(problem["event"], "capture_problem");
    EXPECT_EQ(problem["selectedDevice"]["id"], "mic-a");
    EXPECT_EQ(problem["selectedDevice"]["framesReceived"], 100);
    EXPECT_NEAR(problem["selectedDevice"]["rms"].get<double>(), 0.25 / std::sqrt(2.0), 2e-3);
    EXPECT_EQ(problem["allInputDevices"].size(), 2u);
    EXPECT_FALSE(problem.contains("totalDeviceCount"));  // only with more than ten
    EXPECT_EQ(
        problem["otherRunningDevices"],
        json::array(
            {{{"id", "mic-b"}, {"name", "Mic B"}, {"isDefault", true}, {"isRunning", true}}}));
    EXPECT_EQ(problem["driftDetected"], true);
    EXPECT_EQ(problem["currentDefaultId"], "mic-b");
    EXPECT_EQ(problem["reason"], "user_report");

    // Without any default device: drift, but no identifier to name.
    world.audio().setDefaultInput(std::nullopt);
    source->emitCaptureProblemDiagnostic("x");
    records = diagnostics(newLines());
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0]["driftDetected"], true);
    EXPECT_FALSE(records[0].contains("currentDefaultId"));
}

}  // namespace
}  // namespace ostrovane::sources::mic::testing
