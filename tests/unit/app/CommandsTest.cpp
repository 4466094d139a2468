#include <gtest/gtest.h>

#include <tuple>

#include "app/Commands.h"
#include "util/NumberFormat.h"
#include "util/Utf8.h"

namespace ostrovane::app {
namespace {

TEST(CommandLine, SplitsAtTheFirstColonAndUppercasesOnlyTheName) {
    const std::tuple<std::string, std::string, std::optional<std::string>> cases[] = {
        {"health_check", "HEALTH_CHECK", std::nullopt},
        {"start_video:{\"a\":\"b:c\"}", "START_VIDEO", "{\"a\":\"b:c\"}"},
        {"TEST_WAV:", "TEST_WAV", ""},
        {"", "", std::nullopt},
        {" stop", " STOP", std::nullopt},
        {"stöp", "STöP", std::nullopt}};
    for (const auto& [line, name, argument] : cases) {
        EXPECT_EQ(splitCommandLine(line).name, name);
        EXPECT_EQ(splitCommandLine(line).argument, argument) << line;
    }
}

TEST(CommandLine, ArgumentsFallBackToDefaultsOnlyWithoutAColon) {
    EXPECT_EQ(parseCommand("SNAPSHOT_NOW")->argument, "320");
    EXPECT_EQ(parseCommand("SNAPSHOT_NOW:")->argument, "");
    EXPECT_EQ(parseCommand("TEST_WAV")->argument, "");
    EXPECT_EQ(parseCommand("START_VIDEO")->argument, "{}");
    EXPECT_EQ(parseCommand("switch_video")->argument, "{}");
    EXPECT_EQ(parseCommand("GET_DEVICE_DIAGNOSTIC")->argument, "requested");
    EXPECT_EQ(parseCommand("SAMPLE_RUNNING_MICS:why")->argument, "why");
    EXPECT_EQ(parseCommand("Stop:now")->spec->command, Command::stop);
    for (const char* unknown : {"STOP ", "HEALTH", ""})
        EXPECT_FALSE(parseCommand(unknown)) << unknown;
}

TEST(NumberFormat, ShortestRoundTripAlwaysWithADecimalPoint) {
    EXPECT_EQ(shortestDecimal(3), "3.0");
    EXPECT_EQ(shortestDecimal(0.1), "0.1");
    EXPECT_EQ(shortestDecimal(1765000000.25), "1765000000.25");
    EXPECT_EQ(shortestDecimal(1e22), "10000000000000000000000.0");
    EXPECT_EQ(shortestDecimal(-2.5), "-2.5");
    for (double v : {1733480000.123456, 1.0 / 3.0, 5e-324, 1.7976931348623157e308}) {
        const std::string text = shortestDecimal(v);
        EXPECT_EQ(std::strtod(text.c_str(), nullptr), v) << text;
        EXPECT_EQ(text.find('e'), std::string::npos) << text;
    }
}

// One rule for every text that leaves the helper: commands, window titles,
// device names, the mic-app reader's lines.
TEST(Utf8, KeepsWellFormedTextAndReplacesEachIllFormedSubpart) {
    const std::string fffd = "\xEF\xBF\xBD";
    const std::pair<std::string, std::string> cases[] = {
        {std::string("a\0b", 3) + "é€😀", std::string("a\0b", 3) + "é€😀"},
        {"\xff", fffd},
        {"a\xC3", "a" + fffd},                            // truncated at the end
        {"\xE2\x82x", fffd + "x"},                        // one replacement for E2 82
        {"\xED\xA0\x80", fffd + fffd + fffd},             // surrogates are not UTF-8
        {"\xC0\xAF", fffd + fffd},                        // overlong
        {"\xE0\x80\xAF", fffd + fffd + fffd},             // overlong, three bytes
        {"\xF4\x90\x80\x80", fffd + fffd + fffd + fffd},  // above U+10FFFF
    };
    for (const auto& [bytes, repaired] : cases) {
        EXPECT_EQ(repairUtf8(bytes), repaired);
        EXPECT_EQ(isValidUtf8(bytes), bytes == repaired);
    }
}

}  // namespace
}  // namespace ostrovane::app
