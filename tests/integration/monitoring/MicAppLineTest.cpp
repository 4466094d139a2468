// The pure halves of following the log: cutting chunks into lines and
// reading one line.
#include <gtest/gtest.h>

#include "monitoring/AudioMxdLine.h"
#include "monitoring/LogLineSplitter.h"

namespace ostrovane::monitoring {
namespace {

std::string withJson(const std::string& session, const std::string& details) {
    return "2026-12-06 13:02:11.1 Df coreaudiod[1:2] {\"session\":" + session +
           ",\"details\":" + details + "}";
}

struct ParseCase {
    std::string line;
    std::optional<AudioMxdEvent> expected;
};

TEST(AudioMxdLine, ReadsOnlyTheDocumentedShape) {
    const std::string on = "{\"input_running\":true}";
    const std::vector<ParseCase> cases{
        {withJson(R"j({"name":"zoom.us(501)"})j", on), AudioMxdEvent{"zoom.us", 501, true}},
        {withJson(R"j({"name":"Google Chrome He (123)","x":1})j",
                  R"j({"a":[],"input_running":false})j"),
         AudioMxdEvent{"Google Chrome He ", 123, false}},
        {withJson(R"j({"name":"(77)"})j", on), AudioMxdEvent{"", 77, true}},
        {withJson(R"j({"name":"a(2147483647)"})j", on), AudioMxdEvent{"a", 2147483647, true}},
        {withJson(R"j({"name":"a(b)(12)"})j", on), AudioMxdEvent{"a(b)", 12, true}},
        {withJson(R"j({"name":"zoom(501) "})j", on), std::nullopt},
        {withJson(R"j({"name":"zoom(5x1)"})j", on), std::nullopt},
        {withJson(R"j({"name":"zoom(12345678901)"})j", on), std::nullopt},
        {withJson(R"j({"name":"zoom(2147483648)"})j", on), std::nullopt},
        {withJson(R"j({"name":"zoom(1)"})j", R"j({"input_running":"true"})j"), std::nullopt},
        {withJson(R"j({"name":5})j", on), std::nullopt},
        {withJson(R"j("zoom(1)")j", on), std::nullopt},
        {R"j(x {"session":{"name":"a(1)","details":{"input_running":true}}})j", std::nullopt},
        {R"j(free { text {"session":{"name":"a(1)"},"details":{"input_running":true}})j",
         std::nullopt},
        {R"j({"session":{"name":"a(1)"},"details":{"input_running":true}} trailing)j",
         std::nullopt},
        {"no json here", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(parseAudioMxdLog(c.line), c.expected) << c.line;
}

struct SplitCase {
    const char* what;
    std::vector<std::string> chunks;
    std::vector<std::string> lines;
    int invalid = 0;
    int oversized = 0;
};

TEST(LogLineSplitter, CutsLinesAcrossChunksAndCharacters) {
    const std::string big(40, 'x');
    const std::vector<SplitCase> cases{
        {"several per chunk, empties skipped", {"a\n\nb\nc"}, {"a", "b"}},
        {"split inside a line", {"ab", "c\nd", "e\n"}, {"abc", "de"}},
        {"carriage return kept", {"a\r\nb\r", "\n"}, {"a\r", "b\r"}},
        {"character split across reads",
         {"caf\xC3", "\xA9\nn\xE2\x82", "\xAC\n"},
         {"caf\xC3\xA9", "n\xE2\x82\xAC"}},
        {"invalid line dropped alone", {"ok\nbad\xFF\nok2\n"}, {"ok", "ok2"}, 1},
        {"overlong encoding is invalid", {"\xC0\xAF\n"}, {}, 1},
        {"oversized line dropped up to its feed", {big, big + "\nnext\n"}, {"next"}, 0, 1},
        {"line at the cap kept", {std::string(64, 'y') + "\n"}, {std::string(64, 'y')}},
    };
    for (const auto& c : cases) {
        LogLineSplitter splitter(64);
        std::vector<std::string> lines;
        int invalid = 0, oversized = 0;
        const LogLineSplitter::Sink sink{[&](std::string_view line) { lines.emplace_back(line); },
                                         [&] { ++invalid; }, [&] { ++oversized; }};
        for (const auto& chunk : c.chunks)
            splitter.push({reinterpret_cast<const std::uint8_t*>(chunk.data()), chunk.size()},
                          sink);
        EXPECT_EQ(lines, c.lines) << c.what;
        EXPECT_EQ(invalid, c.invalid) << c.what;
        EXPECT_EQ(oversized, c.oversized) << c.what;
        EXPECT_LE(splitter.pendingBytes(), 64u) << c.what;
    }
}

}  // namespace
}  // namespace ostrovane::monitoring
