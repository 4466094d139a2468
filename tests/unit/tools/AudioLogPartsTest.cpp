// The audio-log reader's pure parts: the input diff, the line format (read
// back the way the helper's microphone-app detector reads it) and the options.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <regex>

#include "audiolog/AudioLogDiff.h"
#include "audiolog/AudioLogLine.h"
#include "audiolog/AudioLogOptions.h"

namespace ostrovane::tools {
namespace {

struct DetectedEvent {
    std::string name;  // without the "(pid)"
    std::int32_t pid = 0;
    bool running = false;
};

// What the detector takes from one line (without its line feed): lines with
// "Filtering" or "Timestamp" are dropped; the text from the first '{' to the
// end is one JSON object; the pid ends session.name in parentheses.
std::optional<DetectedEvent> detect(const std::string& line) {
    if (line.find("Filtering") != std::string::npos || line.find("Timestamp") != std::string::npos)
        return std::nullopt;
    const auto brace = line.find('{');
    if (brace == std::string::npos)
        return std::nullopt;
    const auto json = nlohmann::json::parse(line.substr(brace), nullptr, false);
    if (!json.is_object() || !json.contains("session") || !json.contains("details"))
        return std::nullopt;
    const auto& name = json["session"]["name"];
    const auto& running = json["details"]["input_running"];
    if (!name.is_string() || !running.is_boolean())
        return std::nullopt;
    const std::string text = name.get<std::string>();
    std::smatch match;
    static const std::regex pidAtEnd(R"(\((\d+)\)$)");
    if (!std::regex_search(text, match, pidAtEnd))
        return std::nullopt;
    const long long pid = std::stoll(match[1].str());
    if (pid > INT32_MAX)
        return std::nullopt;
    return DetectedEvent{text.substr(0, match.position(0)), static_cast<std::int32_t>(pid),
                         running.get<bool>()};
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
    ASSERT_FALSE(line.empty());
    EXPECT_EQ(line.back(), '\n');
    const std::string text = line.substr(0, line.size() - 1);
    EXPECT_EQ(text.find('\n'), std::string::npos);
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
    EXPECT_TRUE(event->running);
}

TEST(AudioLogLine, AnyNameSurvivesTheDetectorsParsing) {
    const std::vector<std::pair<std::string, std::string>> names = {
        {"say \"hi\"", "say \"hi\""},
        {"two\nlines\r", "two\nlines\r"},
        {"{braces}", "{braces}"},
        {"back\\slash", "back\\slash"},
        {"app(12)", "app(12)"},  // only the last parentheses are the pid
        {"Timestamp Filtering", "Timestamp Filtering"},
        {"\\Timestamp", "\\Timestamp"},
        {"caf\xC3\xA9", "caf\xC3\xA9"},
        {"bad\xFFutf8", "bad\xEF\xBF\xBDutf8"},  // replaced, not fatal
        {"", "unknown"},
    };
    const auto now = std::chrono::system_clock::now();
    for (const auto& [name, expected] : names) {
        SCOPED_TRACE(name);
        const std::string line = formatLogLine({2147483647, name, false}, now, {1, 1});
        ASSERT_EQ(line.find('\n'), line.size() - 1);
        auto event = detect(line.substr(0, line.size() - 1));
        ASSERT_TRUE(event);
        EXPECT_EQ(event->name, expected);
        EXPECT_EQ(event->pid, 2147483647);
        EXPECT_FALSE(event->running);
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

    for (const std::vector<std::string>& bad : {std::vector<std::string>{"--ignore-pid"},
                                                {"--ignore-pid", "x"},
                                                {"--ignore-pid", "-3"},
                                                {"--ignore-pid", "99999999999"},
                                                {"--timeout-ms", "0"},
                                                {"--bogus"},
                                                {"extra"}}) {
        error.clear();
        EXPECT_FALSE(parseAudioLogOptions(bad, error)) << bad[0];
        EXPECT_FALSE(error.empty());
    }
    EXPECT_FALSE(parseAudioLogOptions({"--help"}, error));
    EXPECT_EQ(error, "help");
}

}  // namespace
}  // namespace ostrovane::tools
