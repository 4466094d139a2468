// ostrovane-audio-log: follows the sound server and writes one log line per
// application that starts or stops recording from an input, for the helper's
// microphone-app detector to read. Runs until SIGTERM or SIGINT (status 0),
// or until the server or its standard output goes away (status 1).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "audiolog/AudioLogOptions.h"
#include "audiolog/AudioLogReader.h"
#include "dispatch/SystemClock.h"
#include "platform/pulse/PulseConnection.h"

namespace {

constexpr int kUsageError = 2;

// One line on standard error, in one write.
void complain(const std::string& text) {
    const std::string line = "ostrovane-audio-log: " + text + "\n";
    [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, line.data(), line.size());
}

}  // namespace

int main(int argc, char** argv) {
    using namespace ostrovane;
    std::string error;
    auto options = tools::parseAudioLogOptions({argv + 1, argv + argc}, error);
    if (!options) {
        if (error == "help") {
            std::fputs(tools::kAudioLogUsage, stdout);
            return 0;
        }
        complain(error);
        std::fputs(tools::kAudioLogUsage, stderr);
        return kUsageError;
    }

    // The helper that started us may be killed without stopping us: its end
    // ends us too (as a SIGTERM), instead of leaving a reader nobody reads.
    const pid_t starter = ::getppid();
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != starter)
        return 0;

    // A closed output shows up as a failed write. The signals are blocked
    // before any thread starts, so that only the signalfd receives them.
    ::signal(SIGPIPE, SIG_IGN);
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    const int signals = ::signalfd(-1, &stopSignals, SFD_CLOEXEC);
    int wake[2];
    if (signals < 0 || ::pipe2(wake, O_CLOEXEC) != 0) {
        complain("cannot set up signal handling");
        return 1;
    }

    // Our own recordings (none) and those of the helper that started us are
    // not another application's.
    options->ignoredPids.insert(::getpid());
    if (const pid_t parent = ::getppid(); parent > 1)
        options->ignoredPids.insert(parent);

    dispatch::SystemClock clock;
    platform::pulse::PulseConnection::Options connect;
    connect.clientName = "ostrovane-audio-log";
    connect.server = options->server;
    connect.timeout = options->timeout;
    auto connection = platform::pulse::PulseConnection::create(clock, connect);
    if (!connection->model().available()) {
        complain("cannot reach the sound server (" + connection->unavailableReason() + ")");
        ::_exit(1);
    }

    const int wakeWrite = wake[1];
    auto reader = tools::AudioLogReader::start(
        *connection, options->ignoredPids, STDOUT_FILENO, [wakeWrite](const std::string& reason) {
            complain(reason);
            [[maybe_unused]] const ssize_t n = ::write(wakeWrite, "x", 1);
        });

    pollfd waits[2] = {{signals, POLLIN, 0}, {wake[0], POLLIN, 0}};
    while (::poll(waits, 2, -1) < 0 && errno == EINTR) {
    }
    // Every line went out through unbuffered writes, so there is nothing left
    // to flush; leave without running destructors under threads that are
    // still busy (the connection's queues run on until the process ends).
    ::_exit((waits[0].revents & POLLIN) ? 0 : 1);
}
