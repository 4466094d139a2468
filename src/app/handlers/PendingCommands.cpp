#include "app/handlers/PendingCommands.h"

#include <string>

namespace ostrovane::app {

namespace {
constexpr std::string_view kReason = "not_available";

// The error answer of a command, when it has one.
std::optional<std::string> errorAnswer(Command command) {
    switch (command) {
        case Command::testMicTap:
            return "TEST_MIC_TAP:error:";
        default:
            return std::nullopt;
    }
}
}  // namespace

void answerUnavailable(AppContext& context, const CommandSpec& spec) {
    if (auto prefix = errorAnswer(spec.command)) {
        context.text.sendCommandResponse(*prefix + std::string(kReason));
    } else {
        context.text.logToStderr(std::string(spec.name) + " is not available in this build");
    }
}

}  // namespace ostrovane::app
