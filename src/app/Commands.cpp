#include "app/Commands.h"

namespace ostrovane::app {

namespace {
// Command names are ASCII, so ASCII case mapping is all a match can need; other
// bytes pass through and simply match nothing.
char upperAscii(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}
}  // namespace

CommandLine splitCommandLine(std::string_view line) {
    CommandLine out;
    const auto colon = line.find(':');
    const std::string_view head = line.substr(0, colon);
    out.name.reserve(head.size());
    for (char c : head)
        out.name.push_back(upperAscii(c));
    if (colon != std::string_view::npos)
        out.argument = std::string(line.substr(colon + 1));
    return out;
}

const CommandSpec* findCommand(std::string_view upperName) {
    for (const auto& spec : kCommandTable) {
        if (spec.name == upperName)
            return &spec;
    }
    return nullptr;
}

std::optional<CommandRequest> parseCommand(std::string_view line) {
    CommandLine split = splitCommandLine(line);
    const CommandSpec* spec = findCommand(split.name);
    if (!spec)
        return std::nullopt;
    std::string argument;
    if (split.argument) {
        argument = std::move(*split.argument);
    } else if (spec->defaultArgument) {
        argument = std::string(*spec->defaultArgument);
    }
    return CommandRequest{spec, std::move(argument)};
}

}  // namespace ostrovane::app
