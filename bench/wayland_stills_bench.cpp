// Round trips of stills through a running helper in a private headless
// Wayland session: SCREENSHOT of a 1920×1080 output (a one-frame screen cast
// with the display's stored grant), and LIST_WINDOWS with 10 windows on two
// outputs (the windows from the compositor, a thumbnail per granted output),
// once while the second output shows nothing new (its cast then sends no
// image: the thumbnail waits its bound and shows the output as last seen)
// and once with a ticking terminal on each. The grants, asked for once
// before, are not timed.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <thread>
#include <vector>

#include "HelperCommands.h"
#include "servers/PrivateWaylandSession.h"
#include "support/HelperProcess.h"

namespace {

using namespace ostrovane;
using namespace ostrovane::bench;
using namespace std::chrono_literals;

constexpr int kWindows = 10;
constexpr int kRounds = 15;

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Milliseconds of each of kRounds answers to `command`; empty when one failed.
std::vector<double> roundTrips(test::HelperProcess& helper, const std::string& command,
                               const std::string& prefix) {
    std::vector<double> took;
    for (int round = 0; round < kRounds; ++round) {
        const auto sent = std::chrono::steady_clock::now();
        auto answer = answerTo(helper, command, prefix);
        if (!answer || answer->size() < 100)
            return {};
        took.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - sent)
                .count());
    }
    return took;
}

void BM_WaylandStillRoundTrips(benchmark::State& state) {
    test::PrivateWaylandSession session;
    std::string failure;
    if (!session.ready(failure)) {
        state.SkipWithError(("the Wayland session did not start: " + failure).c_str());
        return;
    }
    session.sway({"output", test::PrivateWaylandSession::kOutput, "resolution", "1920x1080"});
    session.sway({"create_output"});
    session.sway({"output", "HEADLESS-2", "resolution", "1280x720", "position", "1920", "0"});
    session.startMovingContent();
    for (int i = 1; i < kWindows; ++i) {
        if (!session.openTerminal("bench-" + std::to_string(i))) {
            state.SkipWithError("a terminal did not show up");
            return;
        }
    }
    test::HelperProcess helper(
        OSTROVANE_BINARY,
        test::HelperProcess::Context{session.environment(), session.uid(), session.gid()});
    // How many records of a new target list hold `member`.
    const auto listedWith = [&](const std::string& member) {
        const std::string list =
            answerTo(helper, "LIST_WINDOWS", "CMD_RESPONSE:LIST_WINDOWS:").value_or("");
        std::size_t count = 0;
        for (std::size_t at = 0; (at = list.find(member, at)) != std::string::npos; ++at)
            ++count;
        return count;
    };
    const auto windowsListed = [&] { return listedWith("\"type\":\"window\""); };
    for (auto deadline = std::chrono::steady_clock::now() + 20s;
         windowsListed() < kWindows && std::chrono::steady_clock::now() < deadline;)
        std::this_thread::sleep_for(100ms);
    if (windowsListed() < kWindows) {
        state.SkipWithError("the terminals did not show up");
        return;
    }
    // The grants of both outputs, asked for once: the first by a screenshot,
    // the second by filming it briefly.
    if (!answerTo(helper, "SCREENSHOT", "CMD_RESPONSE:SCREENSHOT_DATA:")) {
        state.SkipWithError("no first screenshot");
        return;
    }
    auto list = answerTo(helper, "LIST_WINDOWS", "CMD_RESPONSE:LIST_WINDOWS:").value_or("");
    const auto second = list.find("\"name\":\"HEADLESS-2");
    const auto idAt = list.rfind("\"id\":", second);
    if (second == std::string::npos || idAt == std::string::npos) {
        state.SkipWithError("the second output is not listed");
        return;
    }
    const std::string id = list.substr(idAt + 5, list.find_first_of(",}", idAt) - idAt - 5);
    session.pickOutput("HEADLESS-2");
    if (answerTo(helper, "START_VIDEO:{\"type\":\"display\",\"id\":" + id + "}",
                 "CMD_RESPONSE:START_VIDEO:") != "started" ||
        answerTo(helper, "STOP_VIDEO", "CMD_RESPONSE:STOP_VIDEO:") != "stopped") {
        state.SkipWithError("the second output could not be filmed");
        return;
    }

    const auto thumbnails = [&] { return double(listedWith("\"thumbnail\"")); };

    std::vector<double> screenshots, stillLists, lists;
    double stillThumbnails = 0, movingThumbnails = 0;
    for (auto _ : state) {
        screenshots = roundTrips(helper, "SCREENSHOT", "CMD_RESPONSE:SCREENSHOT_DATA:");
        stillLists = roundTrips(helper, "LIST_WINDOWS", "CMD_RESPONSE:LIST_WINDOWS:");
        stillThumbnails = thumbnails();
        state.PauseTiming();
        session.openTerminal("ticking", {"sh", "-c", "while :; do date +%T.%N; sleep 0.02; done"});
        session.sway({"[title=\"ticking\"]", "move", "container", "to", "output", "HEADLESS-2"});
        state.ResumeTiming();
        lists = roundTrips(helper, "LIST_WINDOWS", "CMD_RESPONSE:LIST_WINDOWS:");
        movingThumbnails = thumbnails();
    }
    if (screenshots.empty() || stillLists.empty() || lists.empty()) {
        state.SkipWithError("a command failed");
        return;
    }
    state.counters["screenshot_ms_median"] = median(screenshots);
    state.counters["screenshot_ms_max"] = *std::max_element(screenshots.begin(), screenshots.end());
    state.counters["list_windows_ms_median"] = median(lists);
    state.counters["list_windows_ms_max"] = *std::max_element(lists.begin(), lists.end());
    state.counters["list_windows_still_output_ms_median"] = median(stillLists);
    state.counters["thumbnails_still"] = stillThumbnails;
    state.counters["thumbnails_moving"] = movingThumbnails;
}
BENCHMARK(BM_WaylandStillRoundTrips)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
