#pragma once

#include <optional>
#include <string>
#include <vector>

namespace ostrovane::tools {

struct RecorderOptions {
    std::string helperPath;  // empty: the helper installed beside the recorder
    std::string outputDirectory = ".";
    double durationSeconds = 5.0;
    std::vector<std::string> commands{"START_STREAMING"};
    bool quiet = false;  // no live status line
};

// Parses the command line. On a usage error returns nothing and sets `error`.
std::optional<RecorderOptions> parseRecorderOptions(const std::vector<std::string>& args,
                                                    std::string& error);

extern const char* const kRecorderUsage;

}  // namespace ostrovane::tools
