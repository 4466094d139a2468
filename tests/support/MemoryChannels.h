#pragma once

#include <string>
#include <vector>

#include "protocol/FrameReader.h"
#include "protocol/FrameWriter.h"
#include "protocol/TextChannel.h"
#include "util/UniqueFd.h"

namespace ostrovane::test {

// A frame writer and a text channel writing into anonymous in-memory files,
// for in-process tests: writes never block (unlike a pipe nobody drains), and
// everything written can be read back at any time.
class MemoryChannels {
  public:
    MemoryChannels();

    protocol::TextChannel& text() { return text_; }
    protocol::FrameWriter& frameWriter() { return frames_; }

    std::vector<std::string> lines() const;
    // The lines written since the previous call.
    std::vector<std::string> newLines();
    // Decodes every frame written so far; throws on a malformed stream.
    std::vector<protocol::Frame> frames() const;
    std::vector<std::uint8_t> outputBytes() const;

    int frameFd() const { return frameFd_.get(); }

  private:
    UniqueFd textFd_;
    UniqueFd frameFd_;
    protocol::TextChannel text_;
    protocol::FrameWriter frames_;
    std::size_t seen_ = 0;
};

// Lines of `lines` that begin with `prefix`.
std::vector<std::string> linesStartingWith(const std::vector<std::string>& lines,
                                           const std::string& prefix);

}  // namespace ostrovane::test
