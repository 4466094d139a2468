#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "sources/mic/DeviceDiagnostics.h"

namespace ostrovane::sources::mic {
namespace {

using nlohmann::json;

// The record's keys and which are left out are checked on the records the
// microphone source writes.
TEST(DeviceDiagnosticEncodingTest, IllFormedNamesStillEncodeOnOneCompactLineAndAreCutByCharacters) {
    DeviceDiagnostic d;
    d.event = "capture_problem";
    d.selectedDevice.name = "Mic\xff\"quoted\"\n";
    const auto text = encodeDeviceDiagnostic(d);
    ASSERT_TRUE(text);
    EXPECT_EQ(text->find_first_of(" \n"), std::string::npos) << *text;
    EXPECT_EQ(json::parse(*text)["selectedDevice"]["name"], "Mic\uFFFD\"quoted\"\n");

    // Names are cut by characters, not bytes.
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
