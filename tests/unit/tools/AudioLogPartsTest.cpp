// The audio-log reader's pure parts: the input diff, the line format (read
// back by the helper's own microphone-app detector) and the options.
#include <gtest/gtest.h>

#include <iterator>
#include <map>
#include <regex>
#include <sstream>

#include "audiolog/AudioLogDiff.h"
#include "audiolog/AudioLogLine.h"
#include "audiolog/AudioLogOptions.h"
#include "monitoring/AudioMxdLine.h"

namespace ostrovane::tools {
namespace {

// What the helper's microphone-app detector takes from one line (without
// its line feed): the log tool's chatter is dropped before parsing.
std::optional<monitoring::AudioMxdEvent> detect(const std::string& line) {
    if (monitoring::isLogToolChatter(line))
        return std::nullopt;
    return monitoring::parseAudioMxdLog(line);
}

TEST(AudioLogDiff, ReportsStartsAndStopsInPidOrderButNotRenames) {
    EXPECT_EQ(diffInput({}, {{9, "b"}, {5, "a"}}),
              (std::vector<InputEvent>{{5, "a", true}, {9, "b", true}}));
    // 5 renamed (no event), 7 starts, 9 stops under the name it ran with.
    EXPECT_EQ(diffInput({{5, "a"}, {9, "b"}}, {{5, "a2"}, {7, "c"}}),
              (std::vector<InputEvent>{{7, "c", true}, {9, "b", false}}));
    EXPECT_EQ(diffInput({{1, "x"}, {2, "y"}}, {}),
              (std::vector<InputEvent>{{1, "x", false}, {2, "y", false}}));
    EXPECT_TRUE(diffInput({{3, "z"}}, {{3, "z"}}).empty());
}

TEST(AudioLogLine, IsOneCompactLogLineWhoseJsonTheDetectorReadsBack) {
    const auto when =
        std::chrono::system_clock::from_time_t(1'800'000'000) + std::chrono::milliseconds(123);
    const std::string line = formatLogLine({5678, "parec", true}, when, {4321, 4322});
    ASSERT_EQ(line.find('\n'), line.size() - 1);  // one line, ended
    const std::string text = line.substr(0, line.size() - 1);
    EXPECT_TRUE(std::regex_match(
        text,
        std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.123 Df ostrovane-audio-log\[4321:4322\] )"
                   R"(\[pulse:source-output\] \{.*\})")))
        << text;
    EXPECT_EQ(text.substr(text.find('{')),
              R"j({"session":{"name":"parec(5678)"},"details":{"input_running":true}})j");
    auto event = detect(text);
    ASSERT_TRUE(event);
    EXPECT_EQ(event->name, "parec");
    EXPECT_EQ(event->pid, 5678);
    EXPECT_TRUE(event->inputRunning);
}

TEST(AudioLogLine, AnyNameSurvivesTheDetectorsParsing) {
    // Names come back as they were (only the last parentheses are the pid),
    // but for these: ill-formed UTF-8 is replaced, not fatal.
    const std::map<std::string, std::string> replaced = {{"bad\xFFutf8", "bad\xEF\xBF\xBDutf8"},
                                                         {"", "unknown"}};
    const auto now = std::chrono::system_clock::now();
    for (const std::string name :
         {"say \"hi\"", "two\nlines\r", "{braces}", "back\\slash", "app(12)", "Timestamp Filtering",
          "\\Timestamp", "caf\xC3\xA9", "bad\xFFutf8", ""}) {
        SCOPED_TRACE(name);
        const std::string expected = replaced.contains(name) ? replaced.at(name) : name;
        const std::string line = formatLogLine({2147483647, name, false}, now, {1, 1});
        ASSERT_EQ(line.find('\n'), line.size() - 1);
        auto event = detect(line.substr(0, line.size() - 1));
        ASSERT_TRUE(event);
        EXPECT_EQ(event->name, expected);
        EXPECT_EQ(event->pid, 2147483647);
        EXPECT_FALSE(event->inputRunning);
    }
}

TEST(AudioLogOptions, ReadsServerIgnoredPidsAndTimeoutAndRejectsTheRest) {
    std::string error;
    auto options = parseAudioLogOptions({"--server", "unix:/tmp/s", "--ignore-pid", "12",
                                         "--ignore-pid", "34", "--timeout-ms", "250"},
                                        error);
    ASSERT_TRUE(options) << error;
    EXPECT_EQ(options->server, "unix:/tmp/s");
    EXPECT_EQ(options->ignoredPids, (std::set<std::int32_t>{12, 34}));
    EXPECT_EQ(options->timeout, std::chrono::milliseconds(250));

    auto defaults = parseAudioLogOptions({}, error);
    ASSERT_TRUE(defaults);
    EXPECT_TRUE(defaults->server.empty());
    EXPECT_EQ(defaults->timeout, std::chrono::seconds(5));

    for (const std::string bad :
         {"--ignore-pid", "--ignore-pid x", "--ignore-pid -3", "--ignore-pid 99999999999",
          "--timeout-ms 0", "--bogus", "extra"}) {
        std::istringstream words(bad);
        error.clear();
        EXPECT_FALSE(parseAudioLogOptions({std::istream_iterator<std::string>(words), {}}, error))
            << bad;
        EXPECT_FALSE(error.empty());
    }
    EXPECT_FALSE(parseAudioLogOptions({"--help"}, error));
    EXPECT_EQ(error, "help");
}

}  // namespace
}  // namespace ostrovane::tools
