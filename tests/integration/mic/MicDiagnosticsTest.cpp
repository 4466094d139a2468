#include "integration/mic/MicFixture.h"

namespace ostrovane::sources::mic::testing {
namespace {

using nlohmann::json;
using test::HoldsFields;

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
    EXPECT_THAT(
        start,
        HoldsFields(json{
            {"event", "capture_start"},
            {"selectedDevice",
             {{"id", "mic-0"}, {"name", longName}, {"rms", nullptr}, {"framesReceived", nullptr}}},
            {"totalDeviceCount", 12},
            {"otherRunningDevices", nullptr},
            {"reason", nullptr},
            {"driftDetected", nullptr},
            {"currentDefaultId", nullptr}}));
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
    auto records = diagnostics(newLines());
    ASSERT_EQ(records.size(), 1u);
    EXPECT_THAT(records[0],
                HoldsFields(json{{"selectedDevice",
                                  {{"id", ""}, {"name", ""}, {"rms", 0.0}, {"framesReceived", 0}}},
                                 {"reason", "no audio \"at all\""},
                                 {"driftDetected", true},
                                 {"currentDefaultId", "mic-a"}}));

    ASSERT_FALSE(startSource());
    clock.advanceSeconds(1.005);  // 100 buffers
    world.audio().setRunning("mic-b", platform::Scope::input, true);
    // The default moves, and the reconfiguration has not run yet.
    world.audio().setDefaultInput("mic-b");
    clock.settle();
    newLines();
    source->emitCaptureProblemDiagnostic("user_report");
    records = diagnostics(newLines());
    ASSERT_EQ(records.size(), 1u);
    const json& problem = records[0];
    EXPECT_THAT(problem,
                HoldsFields(json{
                    {"event", "capture_problem"},
                    {"selectedDevice", {{"id", "mic-a"}, {"framesReceived", 100}}},
                    {"totalDeviceCount", nullptr},  // only with more than ten
                    {"otherRunningDevices", json::array({device("mic-b", "Mic B", true, true)})},
                    {"driftDetected", true},
                    {"currentDefaultId", "mic-b"},
                    {"reason", "user_report"}}));
    EXPECT_NEAR(problem["selectedDevice"]["rms"].get<double>(), 0.25 / std::sqrt(2.0), 2e-3);
    EXPECT_EQ(problem["allInputDevices"].size(), 2u);

    // Without any default device: drift, but no identifier to name.
    world.audio().setDefaultInput(std::nullopt);
    source->emitCaptureProblemDiagnostic("x");
    records = diagnostics(newLines());
    ASSERT_EQ(records.size(), 1u);
    EXPECT_THAT(records[0],
                HoldsFields(json{{"driftDetected", true}, {"currentDefaultId", nullptr}}));
}

}  // namespace
}  // namespace ostrovane::sources::mic::testing
