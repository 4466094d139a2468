#include "recorder/RecorderOptions.h"

#include <cmath>
#include <cstdlib>

namespace ostrovane::tools {

const char* const kRecorderUsage =
    "usage: ostrovane-record [--helper PATH] [--out DIR] [--duration SECONDS] [--quiet]\n"
    "                        [COMMAND ...]\n"
    "\n"
    "Starts the helper, sends each COMMAND as one line (default: START_STREAMING),\n"
    "records for SECONDS once they are answered (default 5; Ctrl-C stops early),\n"
    "stops the helper with STOP\n"
    "and writes mic.wav, system.wav, video.h264 (if any video) and events.log into DIR.\n";

std::optional<RecorderOptions> parseRecorderOptions(const std::vector<std::string>& args,
                                                    std::string& error) {
    RecorderOptions options;
    std::vector<std::string> commands;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto value = [&]() -> const std::string* {
            if (i + 1 >= args.size()) {
                error = arg + " needs a value";
                return nullptr;
            }
            return &args[++i];
        };
        if (arg == "--helper") {
            auto v = value();
            if (!v)
                return std::nullopt;
            options.helperPath = *v;
        } else if (arg == "--out") {
            auto v = value();
            if (!v)
                return std::nullopt;
            options.outputDirectory = *v;
        } else if (arg == "--duration") {
            auto v = value();
            if (!v)
                return std::nullopt;
            char* end = nullptr;
            const double seconds = std::strtod(v->c_str(), &end);
            if (end == v->c_str() || *end != '\0' || !std::isfinite(seconds) || seconds < 0) {
                error = "--duration takes a number of seconds, not \"" + *v + "\"";
                return std::nullopt;
            }
            options.durationSeconds = seconds;
        } else if (arg == "--quiet") {
            options.quiet = true;
        } else if (arg == "--help" || arg == "-h") {
            error = "help";
            return std::nullopt;
        } else if (arg.rfind("--", 0) == 0) {
            error = "unknown option " + arg;
            return std::nullopt;
        } else {
            if (arg.find('\n') != std::string::npos) {
                error = "a command must be a single line";
                return std::nullopt;
            }
            commands.push_back(arg);
        }
    }
    if (!commands.empty())
        options.commands = std::move(commands);
    return options;
}

}  // namespace ostrovane::tools
