#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "sources/mic/DeviceDiagnostics.h"

namespace ostrovane::sources::mic {
namespace {

using nlohmann::json;

TEST(DeviceDiagnosticEncodingTest, UnsetMembersAreLeftOutAndKeysAreExact) {
    DeviceDiagnostic d;
    d.event = "capture_status";
    d.selectedDevice = {"", "", 0.25, 7};
    d.driftDetected = true;
    d.currentDefaultID = "other";
    const auto text = encodeDeviceDiagnostic(d);
    ASSERT_TRUE(text);
    EXPECT_EQ(text->find_first_of(" \n"), std::string::npos) << *text;  // compact
    const json j = json::parse(*text);
    EXPECT_EQ(j.size(), 4u);
    EXPECT_EQ(j["event"], "capture_status");
    EXPECT_EQ(j["selectedDevice"],
              (json{{"id", ""}, {"name", ""}, {"rms", 0.25}, {"framesReceived", 7}}));
    EXPECT_EQ(j["driftDetected"], true);
    EXPECT_EQ(j["currentDefaultId"], "other");

    DeviceDiagnostic bare;
    bare.event = "capture_start";
    bare.allInputDevices.emplace();
    const json b = json::parse(*encodeDeviceDiagnostic(bare));
    EXPECT_EQ(b, (json{{"event", "capture_start"},
                       {"selectedDevice", {{"id", ""}, {"name", ""}}},
                       {"allInputDevices", json::array()}}));
}

TEST(DeviceDiagnosticEncodingTest, IllFormedNamesStillEncode) {
    DeviceDiagnostic d;
    d.event = "capture_problem";
    d.selectedDevice.name = "Mic \xff\"quoted\"";
    const auto text = encodeDeviceDiagnostic(d);
    ASSERT_TRUE(text);
    EXPECT_EQ(json::parse(*text)["selectedDevice"]["name"], "Mic \uFFFD\"quoted\"");
}

TEST(DeviceDiagnosticEncodingTest, NamesAreCutByCharactersNotBytes) {
    EXPECT_EQ(prefixCharacters(std::string(60, 'a'), 50), std::string(50, 'a'));
    EXPECT_EQ(prefixCharacters("short", 50), "short");
    std::string umlauts;
    for (int i = 0; i < 60; ++i)
        umlauts += "\u00e4";
    EXPECT_EQ(prefixCharacters(umlauts, 50).size(), 100u);
    EXPECT_EQ(prefixCharacters("ab\xff"
                               "cd",
                               3),
              "ab\xff");
}

}  // namespace
}  // namespace ostrovane::sources::mic
