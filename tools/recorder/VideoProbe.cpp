#include "recorder/VideoProbe.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <vector>

#include "util/Subprocess.h"

namespace ostrovane::tools {

std::string probeVideoSize(const std::string& path) {
    const std::string ffprobe = "/usr/bin/ffprobe";
    if (!std::filesystem::exists(ffprobe))
        return {};
    std::unique_ptr<Subprocess> probe;
    try {
        probe = std::make_unique<Subprocess>(std::vector<std::string>{
            ffprobe, "-v", "quiet", "-select_streams", "v:0", "-show_entries",
            "stream=width,height", "-of", "csv=s=x:p=0", path});
    } catch (const std::runtime_error&) {
        return {};
    }
    probe->closeInput();
    const UniqueFd out = probe->takeOutput();
    // The answer is one short line; a probe that does not finish in time is
    // killed rather than waited for.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::string text;
    char buffer[256];
    while (text.size() < 64) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd ready{out.get(), POLLIN, 0};
        if (left.count() <= 0 || ::poll(&ready, 1, static_cast<int>(left.count())) == 0)
            break;
        const ssize_t n = ::read(out.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    if (probe->waitForExit(std::chrono::seconds(2)) != 0) {
        probe->kill(SIGKILL);
        probe->waitForExit(std::chrono::seconds(2));
        return {};
    }
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}

}  // namespace ostrovane::tools
