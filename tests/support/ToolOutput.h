#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace ostrovane::test {

// Runs a tool (argv[0] is its path) with no input and returns its standard
// output once it exits with status 0; nothing when it fails or takes longer
// than `limit`.
std::optional<std::string> toolOutput(const std::vector<std::string>& argv,
                                      std::chrono::seconds limit = std::chrono::seconds(20));

}  // namespace ostrovane::test
