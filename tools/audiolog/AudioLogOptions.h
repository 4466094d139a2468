#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace ostrovane::tools {

struct AudioLogOptions {
    std::string server;  // empty: libpulse's usual lookup
    std::set<std::int32_t> ignoredPids;
    // Bound of the first connection attempt (and of every wait on the server).
    std::chrono::milliseconds timeout{5000};
};

// Parses the command line. On a usage error returns nothing and sets `error`
// ("help" when help was asked for).
std::optional<AudioLogOptions> parseAudioLogOptions(const std::vector<std::string>& args,
                                                    std::string& error);

extern const char* const kAudioLogUsage;

}  // namespace ostrovane::tools
