// Microphone monitoring and the device commands of the helper binary against
// a private sound server: what a parent sees when applications record.
#include <gtest/gtest.h>

#include <cstdlib>

#include <nlohmann/json.hpp>

#include "linux/HelperOnPulse.h"

namespace ostrovane::test {
namespace {

using namespace std::chrono_literals;

class MonitoringOnPulse : public HelperOnPulse {
  protected:
    void SetUp() override {
        if (pulse.kind() == ServerKind::PipeWire)
            GTEST_SKIP() << "PipeWire keeps the backslashes of a quoted device description";
        ASSERT_NO_FATAL_FAILURE(HelperOnPulse::SetUp());
        ASSERT_TRUE(pulse.addSineSource("mic_main", "Main Microphone"));
        ASSERT_TRUE(pulse.addSineSource("mic_odd", R"(Studio \"A\" Mikrofon ü)"));
        ASSERT_TRUE(pulse.pactl({"set-default-source", "mic_main"}));
        startHelper();
    }

    std::string answer(const std::string& command, const std::string& prefix) {
        return reply(command, "CMD_RESPONSE:" + prefix);
    }

    // The next "MIC_EVENT:" record from line `from` on with this state.
    std::optional<nlohmann::json> micEvent(const std::string& state, std::size_t& from,
                                           std::chrono::milliseconds limit = 5s) {
        const auto at = helper->errors().waitForLineMatching(
            [&](const std::string& l) {
                return l.starts_with("MIC_EVENT:") &&
                       nlohmann::json::parse(l.substr(10))["state"] == state;
            },
            from, limit);
        if (!at)
            return std::nullopt;
        from = *at + 1;
        return nlohmann::json::parse(helper->errors().lines()[*at].substr(10));
    }
};

TEST_F(MonitoringOnPulse, DevicesAreTheMicrophonesAsJsonAndRecordingsOnAnyOfThemAreReported) {
    const auto list = nlohmann::json::parse(answer("LIST_DEVICES", "DEVICES_LIST:"));
    EXPECT_EQ(list, nlohmann::json::parse(R"([
        {"id":"mic_main","name":"Main Microphone","type":"input"},
        {"id":"mic_odd","name":"Studio \"A\" Mikrofon ü","type":"input"}])"));
    EXPECT_EQ(answer("GET_CURRENT_MIC", "CURRENT_MIC:"), "Main Microphone");

    // Recordings on any microphone are reported.
    std::size_t from = 0;
    EXPECT_EQ(answer("START_MIC_MONITORING", "MIC_MONITORING:"), "started");
    const auto idle = micEvent("inactive", from);
    ASSERT_TRUE(idle);
    EXPECT_EQ(idle->at("deviceName"), "Main Microphone");
    {
        auto recording = pulse.spawn({"parec", "-d", "mic_main", "/dev/null"});
        const auto active = micEvent("active", from);
        ASSERT_TRUE(active);
        EXPECT_EQ(active->at("deviceId"), idle->at("deviceId"));
    }
    EXPECT_TRUE(micEvent("inactive", from));

    auto other = pulse.spawn({"parec", "-d", "mic_odd", "/dev/null"});
    // The poll notices it within half a second once parec's stream runs.
    const auto active = micEvent("active", from, 3s);
    ASSERT_TRUE(active);
    EXPECT_EQ(active->at("deviceName"), "Studio \"A\" Mikrofon ü");
    EXPECT_NE(active->at("deviceId"), idle->at("deviceId"));
}

}  // namespace
}  // namespace ostrovane::test
