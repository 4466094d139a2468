// ostrovane-record: the reference parent application. Runs the helper, sends
// it commands, and turns what it writes into WAV, H.264 and log files.
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "recorder/Recorder.h"

namespace {
std::atomic<bool> interrupted{false};

void onInterrupt(int) {
    interrupted = true;
}
}  // namespace

int main(int argc, char** argv) {
    std::string error;
    auto options = ostrovane::tools::parseRecorderOptions({argv + 1, argv + argc}, error);
    if (!options) {
        const bool help = error == "help";
        if (!help)
            std::fprintf(stderr, "ostrovane-record: %s\n", error.c_str());
        std::fputs(ostrovane::tools::kRecorderUsage, help ? stdout : stderr);
        return help ? 0 : 64;
    }
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    ostrovane::tools::Recorder recorder(*options);
    const auto report = recorder.run(interrupted);
    std::fputs(ostrovane::tools::formatSummary(report, options->outputDirectory).c_str(), stdout);
    const bool clean = report.helperExitStatus == 0 &&
                       report.mic.gaps() + report.system.gaps() + report.video.gaps() == 0 &&
                       report.problems.empty();
    return clean ? 0 : 1;
}
