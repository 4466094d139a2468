#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "util/Subprocess.h"

namespace ostrovane::test {

// Runs a tool (argv[0] is its path, or its name with `options.searchPath`)
// with no input and returns its standard output once it exits with status 0;
// nothing when it cannot be started, fails or takes longer than `limit`.
std::optional<std::string> toolOutput(const std::vector<std::string>& argv,
                                      std::chrono::seconds limit = std::chrono::seconds(20),
                                      Subprocess::Options options = {});

// Reads `fd` until it ends, `done` holds for what was read, or `limit` has
// passed; what was read.
std::string readFor(int fd, std::chrono::milliseconds limit,
                    const std::function<bool(const std::string&)>& done = {});

}  // namespace ostrovane::test
