#include "support/ToolOutput.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <stdexcept>

namespace ostrovane::test {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

std::optional<std::string> toolOutput(const std::vector<std::string>& argv,
                                      std::chrono::seconds limit, Subprocess::Options options) {
    std::unique_ptr<Subprocess> process;
    try {
        process = std::make_unique<Subprocess>(argv, std::move(options));
    } catch (const std::runtime_error&) {
        return std::nullopt;
    }
    process->closeInput();
    const auto deadline = Clock::now() + limit;
    const UniqueFd out = process->takeOutput();
    const std::string text = readFor(out.get(), limit);
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
    if (process->waitForExit(std::max(left, milliseconds(0))) != 0)
        return std::nullopt;  // the destructor kills a tool that overran
    return text;
}

std::string readFor(int fd, milliseconds limit,
                    const std::function<bool(const std::string&)>& done) {
    const auto deadline = Clock::now() + limit;
    std::string text;
    char buffer[65536];
    while (!done || !done(text)) {
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
        pollfd p{fd, POLLIN, 0};
        const int ready = left.count() > 0 ? poll(&p, 1, static_cast<int>(left.count())) : 0;
        const ssize_t n = ready > 0 ? read(fd, buffer, sizeof buffer) : ready;
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    return text;
}

}  // namespace ostrovane::test
