#include "audiolog/AudioLogReader.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "audiolog/AudioLogLine.h"

namespace ostrovane::tools {

std::shared_ptr<AudioLogReader> AudioLogReader::start(platform::pulse::PulseConnection& connection,
                                                      std::set<std::int32_t> ignored, int outputFd,
                                                      EndHandler ended) {
    auto reader = std::make_shared<AudioLogReader>(connection, std::move(ignored), outputFd,
                                                   std::move(ended));
    connection.addObserver(reader);
    // Taken on the event queue after the observer is in place: a change made
    // before it is part of the baseline, one made after it is reported.
    connection.events().async([weak = std::weak_ptr(reader)] {
        if (auto self = weak.lock())
            self->takeBaseline();
    });
    return reader;
}

AudioLogReader::AudioLogReader(platform::pulse::PulseConnection& connection,
                               std::set<std::int32_t> ignored, int outputFd, EndHandler ended)
    : connection_(connection),
      ignored_(std::move(ignored)),
      outputFd_(outputFd),
      ended_(std::move(ended)) {}

void AudioLogReader::takeBaseline() {
    if (!connection_.model().available()) {
        end("lost the connection to the sound server (" + connection_.unavailableReason() + ")");
        return;
    }
    known_ = snapshot();
}

void AudioLogReader::modelChanged(const platform::pulse::ModelChanges& changes) {
    if (ending_)
        return;
    if (!connection_.model().available()) {
        end("lost the connection to the sound server (" + connection_.unavailableReason() + ")");
        return;
    }
    if (!known_ || !changes.processes)
        return;
    InputSnapshot now = snapshot();
    const LineWriter writer{static_cast<std::int32_t>(::getpid()),
                            static_cast<std::int32_t>(::gettid())};
    for (const InputEvent& event : diffInput(*known_, now)) {
        if (!writeAll(formatLogLine(event, std::chrono::system_clock::now(), writer))) {
            end(std::string("standard output closed (") + std::strerror(errno) + ")");
            return;
        }
    }
    known_ = std::move(now);
}

InputSnapshot AudioLogReader::snapshot() {
    InputSnapshot running;
    for (const auto& process : connection_.model().processes()) {
        if (process.runningInput && !ignored_.contains(process.pid))
            running.emplace(process.pid, process.name);
    }
    return running;
}

bool AudioLogReader::writeAll(const std::string& text) {
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(outputFd_, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        written += static_cast<std::size_t>(n);
    }
    return true;
}

void AudioLogReader::end(const std::string& reason) {
    if (ending_)
        return;
    ending_ = true;
    ended_(reason);
}

}  // namespace ostrovane::tools
