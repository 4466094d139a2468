#include <nlohmann/json.hpp>

#include "integration/AppOnSimMachine.h"

namespace ostrovane::test {
namespace {

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
    EXPECT_EQ(answers(lines), (std::vector<std::string>{"MIC_MONITORING:started",
                                                        "MIC_MONITORING:already_active"}));
    EXPECT_EQ(linesStartingWith(lines, "MIC_EVENT:{").size(), 1u);
    EXPECT_GT(world.audio().listenerCount(), baseListeners);

    lines = run({"STOP_MIC_MONITORING", "STOP_MIC_MONITORING"});
    EXPECT_EQ(answers(lines),
              (std::vector<std::string>{"MIC_MONITORING:stopped", "MIC_MONITORING:not_active"}));
    EXPECT_EQ(world.audio().listenerCount(), baseListeners);  // nothing more to report

    // STOP stops the monitor too.
    run({"START_MIC_MONITORING"});
    app.send("STOP");
    ASSERT_TRUE(app.answer("STOPPED:ok"));
    EXPECT_EQ(world.audio().listenerCount(), baseListeners);
}

TEST_F(MonitoringCommands, MonitoringOutlivesStreaming) {
    // STOP_STREAMING without a streamer still starts monitoring.
    auto lines = run({"STOP_STREAMING"});
    EXPECT_EQ(answers(lines), std::vector<std::string>{"STREAMING:stopped"});
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

    run({"START_STREAMING"});
    ASSERT_TRUE(app.answer("STREAMING:started"));
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
    EXPECT_EQ(
        answers(run({"LIST_DEVICES", "GET_CURRENT_MIC"})),
        (std::vector<std::string>{"DEVICES_LIST:[]", "CURRENT_MIC:No default microphone found"}));
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

}  // namespace
}  // namespace ostrovane::test
