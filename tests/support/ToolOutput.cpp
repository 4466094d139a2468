#include "support/ToolOutput.h"

#include <unistd.h>

#include <cerrno>

#include "util/Subprocess.h"

namespace ostrovane::test {

std::optional<std::string> toolOutput(const std::vector<std::string>& argv,
                                      std::chrono::seconds limit) {
    Subprocess process(argv);
    process.closeInput();
    const UniqueFd out = process.takeOutput();
    std::string text;
    char buffer[65536];
    for (ssize_t n; (n = ::read(out.get(), buffer, sizeof buffer)) != 0;) {
        if (n < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        text.append(buffer, static_cast<std::size_t>(n));
    }
    if (process.waitForExit(limit) != 0)
        return std::nullopt;
    return text;
}

}  // namespace ostrovane::test
