#pragma once

#include "app/AppContext.h"
#include "app/Commands.h"

namespace ostrovane::app {

// Answers for commands whose services this build does not provide yet. They
// never pretend to succeed: commands with an error answer get it with the
// reason "not_available"; the others log that they are not available.
void answerUnavailable(AppContext& context, const CommandSpec& spec);

}  // namespace ostrovane::app
