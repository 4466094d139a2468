#include "support/ToolOutput.h"

#include "support/Pipe.h"
#include "util/Subprocess.h"

namespace ostrovane::test {

std::optional<std::string> toolOutput(const std::vector<std::string>& argv,
                                      std::chrono::seconds limit) {
    Subprocess process(argv);
    process.closeInput();
    const UniqueFd out = process.takeOutput();
    std::string text;
    readChunks(out.get(), [&](std::string_view chunk) { text += chunk; });
    if (process.waitForExit(limit) != 0)
        return std::nullopt;
    return text;
}

}  // namespace ostrovane::test
