#include "StreamingHelper.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>

namespace ostrovane::bench {

namespace {

std::vector<std::string> helperCommand(const std::vector<std::string>& environment) {
    // env(1) replaces itself with the helper, so the child's pid is the
    // helper's and /proc/<pid> measures the helper alone.
    std::vector<std::string> argv = {"/usr/bin/env", "-i"};
    argv.insert(argv.end(), environment.begin(), environment.end());
    argv.push_back(OSTROVANE_BINARY);
    return argv;
}

std::string nameOf(const std::string& entry) {
    return entry.substr(0, entry.find('='));
}

}  // namespace

std::vector<std::string> withVariable(std::vector<std::string> environment,
                                      const std::string& entry) {
    std::erase_if(environment, [&](const std::string& e) { return nameOf(e) == nameOf(entry); });
    environment.push_back(entry);
    return environment;
}

StreamingHelper::StreamingHelper(const std::vector<std::string>& environment, FrameHandler handler)
    : handler_(std::move(handler)) {
    ::signal(SIGPIPE, SIG_IGN);
    process_ = std::make_unique<Subprocess>(helperCommand(environment));
    errors_ = std::make_unique<test::LineCollector>(process_->takeErrors().release());
    outputThread_ =
        std::thread([this, fd = process_->takeOutput()]() mutable { readOutput(std::move(fd)); });
}

StreamingHelper::~StreamingHelper() {
    if (process_->isRunning()) {
        process_->write("STOP\n");
        if (!process_->waitForExit(std::chrono::seconds(2)) && process_->isRunning()) {
            process_->kill(SIGKILL);
            process_->waitForExit(std::chrono::seconds(5));
        }
    }
    process_->closeInput();
    stopping_ = true;
    if (outputThread_.joinable())
        outputThread_.join();
    errors_.reset();
}

std::optional<std::string> StreamingHelper::startStreaming(std::chrono::milliseconds limit) {
    const std::size_t from = errors_->lines().size();
    if (!process_->write("START_STREAMING\n"))
        return "the helper did not take the command";
    const auto answer = errors_->waitForLineMatching(
        [](const std::string& l) { return l.rfind("CMD_RESPONSE:STREAMING:", 0) == 0; }, from,
        limit);
    if (!answer)
        return "no answer to START_STREAMING within " + std::to_string(limit.count()) + " ms";
    const std::string line = errors_->lines()[*answer];
    if (line != "CMD_RESPONSE:STREAMING:started")
        return line;
    return std::nullopt;
}

bool StreamingHelper::waitForBothStreams(std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (micFrames_ == 0 || systemFrames_ == 0) {
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

std::string StreamingHelper::outputError() const {
    std::lock_guard lock(mutex_);
    return outputError_;
}

std::string StreamingHelper::recentLines(std::size_t count) const {
    const auto lines = errors_->lines();
    std::string text;
    for (std::size_t i = lines.size() > count ? lines.size() - count : 0; i < lines.size(); ++i)
        text += (text.empty() ? "" : " | ") + lines[i];
    return text;
}

void StreamingHelper::readOutput(UniqueFd fd) {
    protocol::FrameReader reader;
    protocol::Frame frame;
    std::array<std::uint8_t, 65536> buffer;
    bool decoding = true;  // after a malformed frame the rest is only drained
    // Polls with a timeout so that a helper's descendant holding the pipe
    // open cannot keep this thread alive past the destructor.
    while (!stopping_) {
        pollfd p{fd.get(), POLLIN, 0};
        const int ready = ::poll(&p, 1, 100);
        if (ready < 0 && errno != EINTR)
            break;
        if (ready <= 0)
            continue;
        const ssize_t n = ::read(fd.get(), buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        if (!decoding)
            continue;
        const auto now = Clock::now();
        reader.feed({buffer.data(), static_cast<std::size_t>(n)});
        protocol::ReadStatus status;
        while ((status = reader.next(frame)) == protocol::ReadStatus::frame) {
            if (frame.type == protocol::AudioProtocol::FrameType::mic)
                ++micFrames_;
            else if (frame.type == protocol::AudioProtocol::FrameType::system)
                ++systemFrames_;
            if (handler_)
                handler_(frame, now);
        }
        if (status == protocol::ReadStatus::error) {
            std::lock_guard lock(mutex_);
            outputError_ = reader.error()->message;
            decoding = false;
        }
    }
}

}  // namespace ostrovane::bench
