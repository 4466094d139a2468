// The tools' pure parts: the audio-log reader's input diff, line format (read
// back by the helper's own microphone-app detector) and options; the
// recorder's statistics, WAV file and options.
#include <gmock/gmock.h>

#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <sstream>
#include <vector>

#include "audiolog/AudioLogDiff.h"
#include "audiolog/AudioLogLine.h"
#include "audiolog/AudioLogOptions.h"
#include "monitoring/AudioMxdLine.h"
#include "recorder/RecorderOptions.h"
#include "recorder/StreamStats.h"
#include "recorder/WavWriter.h"
#include "support/WavFile.h"

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
    EXPECT_EQ(detect(text), (monitoring::AudioMxdEvent{"parec", 5678, true}));
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
        EXPECT_EQ(detect(line.substr(0, line.size() - 1)),
                  (monitoring::AudioMxdEvent{expected, 2147483647, false}));
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

std::vector<std::uint8_t> pcmOf(std::initializer_list<std::int16_t> samples) {
    std::vector<std::uint8_t> bytes;
    for (std::int16_t s : samples) {
        bytes.push_back(static_cast<std::uint8_t>(s));
        bytes.push_back(static_cast<std::uint8_t>(static_cast<std::uint16_t>(s) >> 8));
    }
    return bytes;
}

TEST(StreamStats, CountsGapsAcrossTheWrapMeasuresLevelsAndReadsTheHelpersDropTotals) {
    StreamStats stats;
    stats.addFrame(0xFFFFFFFE, pcmOf({16384, -16384}));
    stats.addFrame(0xFFFFFFFF, pcmOf({16384, -16384}));
    stats.addFrame(0, pcmOf({16384, -16384}));  // wrap: no gap
    stats.addFrame(3, pcmOf({-32768, 0}));      // 1 and 2 missing
    EXPECT_EQ(stats.frames(), 4u);
    EXPECT_EQ(stats.gaps(), 1u);
    EXPECT_EQ(stats.missingFrames(), 2u);
    EXPECT_NEAR(stats.peakDbfs(), 0.0, 1e-9);
    EXPECT_EQ(formatDbfs(stats.lastFrameRmsDbfs()), "-3.0 dBFS");
    EXPECT_EQ(formatDbfs(StreamStats{}.rmsDbfs()), "-inf dBFS");

    // The helper's drop report gives the totals per stream, nothing else does.
    EXPECT_EQ(droppedAudioTotals("SimpleAudioStreamer: audio dropped (output too slow) mic=20ms "
                                 "sys=0ms since last report, total mic=120ms sys=3400ms"),
              (std::pair<std::int64_t, std::int64_t>{120, 3400}));
    EXPECT_FALSE(droppedAudioTotals("SimpleAudioStreamer: mic 5 frames (total: 500, RMS: 0.1)"));
    EXPECT_FALSE(droppedAudioTotals("SimpleAudioStreamer: audio dropped, total mic=x"));
}

// The file, its sizes filled in at the close, is the canonical WAV of the samples.
TEST(WavWriter, WritesACompleteHeaderForTheDataWritten) {
    const test::TempFile file("wav-writer.wav", {});
    {
        WavWriter wav(file.path(), 48000, 2);
        ASSERT_TRUE(wav.ok());
        wav.append(pcmOf({1, 2, 3, 4}));
        wav.append(pcmOf({5, 6}));
        EXPECT_TRUE(wav.close());
    }
    std::ifstream in(file.path(), std::ios::binary);
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(bytes, test::makeWav({.channels = 2, .sampleRate = 48000}, test::ramp(6, 1)));
}

TEST(RecorderOptions, ParsesOptionsAndCommandsAndRejectsBadOnes) {
    std::string error;
    auto defaults = parseRecorderOptions({}, error);
    ASSERT_TRUE(defaults);
    EXPECT_THAT(defaults->commands, ::testing::ElementsAre("START_STREAMING"));

    auto given = parseRecorderOptions(
        {"--duration", "2.5", "--out", "/tmp/x", "TEST_WAV:/a b.wav", "HEALTH_CHECK"}, error);
    ASSERT_TRUE(given);
    EXPECT_DOUBLE_EQ(given->durationSeconds, 2.5);
    EXPECT_EQ(given->outputDirectory, "/tmp/x");
    EXPECT_THAT(given->commands, ::testing::ElementsAre("TEST_WAV:/a b.wav", "HEALTH_CHECK"));

    for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
             {"--duration", "soon"}, {"--duration", "-1"}, {"--out"}, {"--bogus"}, {"A\nSTOP"}})
        EXPECT_FALSE(parseRecorderOptions(bad, error)) << bad[0];
}

}  // namespace
}  // namespace ostrovane::tools
