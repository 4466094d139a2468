#include "audiolog/AudioLogOptions.h"

#include <charconv>

namespace ostrovane::tools {

const char* const kAudioLogUsage =
    "usage: ostrovane-audio-log [--server ADDRESS] [--ignore-pid PID]... [--timeout-ms MS]\n";

namespace {

template <typename Number>
std::optional<Number> parseNumber(const std::string& text) {
    Number value{};
    const char* end = text.data() + text.size();
    auto [rest, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || rest != end)
        return std::nullopt;
    return value;
}

}  // namespace

std::optional<AudioLogOptions> parseAudioLogOptions(const std::vector<std::string>& args,
                                                    std::string& error) {
    AudioLogOptions options;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto value = [&]() -> const std::string* {
            if (i + 1 >= args.size()) {
                error = arg + " needs a value";
                return nullptr;
            }
            return &args[++i];
        };
        if (arg == "--server") {
            auto v = value();
            if (!v)
                return std::nullopt;
            options.server = *v;
        } else if (arg == "--ignore-pid") {
            auto v = value();
            if (!v)
                return std::nullopt;
            auto pid = parseNumber<std::int32_t>(*v);
            if (!pid || *pid <= 0) {
                error = "--ignore-pid takes a process id, not \"" + *v + "\"";
                return std::nullopt;
            }
            options.ignoredPids.insert(*pid);
        } else if (arg == "--timeout-ms") {
            auto v = value();
            if (!v)
                return std::nullopt;
            auto ms = parseNumber<std::int64_t>(*v);
            if (!ms || *ms <= 0) {
                error = "--timeout-ms takes a positive number of milliseconds, not \"" + *v + "\"";
                return std::nullopt;
            }
            options.timeout = std::chrono::milliseconds(*ms);
        } else if (arg == "--help" || arg == "-h") {
            error = "help";
            return std::nullopt;
        } else {
            error = "unexpected argument " + arg;
            return std::nullopt;
        }
    }
    return options;
}

}  // namespace ostrovane::tools
