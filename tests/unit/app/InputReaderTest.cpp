#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include "app/InputReader.h"
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

    // A destructor that waited for input would hold the test until it times out.
    test::Pipe idle;
    LineQueue queue;
    { InputReader reader(idle.readFd(), queue); }
}

}  // namespace
}  // namespace ostrovane::app
