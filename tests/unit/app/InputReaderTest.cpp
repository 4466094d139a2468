#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>

#include "app/InputReader.h"
#include "app/LineAssembler.h"
#include "support/Pipe.h"

namespace ostrovane::app {
namespace {

std::vector<InputLine> readAll(const std::string& bytes, std::size_t limit) {
    test::Pipe pipe;
    LineQueue queue;
    std::vector<InputLine> lines;
    {
        InputReader reader(pipe.readFd(), queue, limit);
        // Feed in awkward pieces so lines straddle reads.
        for (std::size_t i = 0; i < bytes.size(); i += 3) {
            const auto piece = bytes.substr(i, 3);
            EXPECT_EQ(::write(pipe.writeFd(), piece.data(), piece.size()),
                      static_cast<ssize_t>(piece.size()));
        }
        pipe.closeWrite();
        while (auto line = queue.pop())
            lines.push_back(*line);
    }
    return lines;
}

TEST(InputReader, SplitsLinesStripsTerminatorsAndKeepsALastPartialLine) {
    auto lines = readAll("one\r\ntwo\n\nthree\rx\nlast", 64);
    std::vector<std::string> texts;
    for (auto& l : lines)
        texts.push_back(l.text);
    EXPECT_THAT(texts, ::testing::ElementsAre("one", "two", "", "three\rx", "last"));
}

TEST(InputReader, OverlongLinesKeepOnlyTheirBeginningAndTheirLength) {
    auto lines = readAll(std::string(300, 'a') + "\nok\n", 100);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(lines[0].truncated);
    EXPECT_EQ(lines[0].length, 300u);
    EXPECT_LE(lines[0].text.size(), LineAssembler::kTruncatedPrefixBytes);
    EXPECT_FALSE(lines[1].truncated);
    EXPECT_EQ(lines[1].text, "ok");
}

TEST(InputReader, RepairsIllFormedUtf8AndKeepsNulBytes) {
    auto lines = readAll(std::string("a\0\xff", 3) + "\n", 64);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, std::string("a\0\xEF\xBF\xBD", 5));
}

TEST(InputReader, DestructionDoesNotWaitForInput) {
    test::Pipe pipe;
    LineQueue queue;
    const auto started = std::chrono::steady_clock::now();
    { InputReader reader(pipe.readFd(), queue); }
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
}

}  // namespace
}  // namespace ostrovane::app
