#pragma once

#include <string_view>

namespace ostrovane::protocol {

// Writes text lines to one descriptor (the error channel): each line is the
// payload plus one line feed, built into one string and handed over in one
// write call, so lines from different threads do not mix within a line.
//
// Callable from any thread. Takes no lock, in particular never the frame
// writer's, so text lines and binary frames never wait for each other.
// Failures (closed channel, EPIPE, EBADF) are ignored. Every payload goes
// out as one line: line feeds and carriage returns inside it become spaces.
class TextChannel {
  public:
    static constexpr std::string_view eventTag = "EVENT";
    static constexpr std::string_view commandResponseTag = "CMD_RESPONSE";
    static constexpr std::string_view micEventTag = "MIC_EVENT";

    explicit TextChannel(int fd) noexcept : fd_(fd) {}

    // A free-text diagnostic line; nothing is added but the line feed.
    void logToStderr(std::string_view message) const noexcept { writeLine(message); }
    // "EVENT:" + payload
    void sendEvent(std::string_view payload) const noexcept { writeTagged(eventTag, payload); }
    // "CMD_RESPONSE:" + payload
    void sendCommandResponse(std::string_view payload) const noexcept {
        writeTagged(commandResponseTag, payload);
    }
    // "MIC_EVENT:" + payload
    void sendMicEvent(std::string_view payload) const noexcept {
        writeTagged(micEventTag, payload);
    }

    // tag, ':', payload, '\n' — for the tagged records and events that
    // components compose themselves.
    void writeTagged(std::string_view tag, std::string_view payload) const noexcept;
    // line, '\n'
    void writeLine(std::string_view line) const noexcept;

    int fd() const noexcept { return fd_; }

  private:
    // A pipe keeps only writes of up to PIPE_BUF bytes whole; a longer line
    // (a screenshot answer) goes out in several pieces, and another line must
    // not land between them: every line of the process is written under one
    // output lock, held for the one write of that line only, never the frame
    // lock, so that text and frames do not wait for each other.
    const int fd_;
};

// A diagnostic line on standard error, for components below the app that
// hold no channel (the screen providers), under the same output lock.
void logLine(std::string_view line) noexcept;

}  // namespace ostrovane::protocol
