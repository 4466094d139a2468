#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "audiolog/AudioLogDiff.h"

namespace ostrovane::tools {

// Who writes the line: the reader's pid and the writing thread's id.
struct LineWriter {
    std::int32_t pid = 0;
    std::int32_t thread = 0;
};

// The JSON object of one event:
//   {"session":{"name":"<name>(<pid>)"},"details":{"input_running":true}}
// on one line. An empty name is "unknown". The words "Filtering" and
// "Timestamp" inside a name are written with their first letter escaped, so
// that readers that drop lines containing them keep ours.
std::string eventJson(const InputEvent& event);

// One line of the log, in the compact style, ending in a line feed:
//   2026-12-06 13:02:11.123 Df ostrovane-audio-log[4321:4321] [pulse:source-output] {...}
// The text before the JSON holds no '{' and no name, so the JSON object is
// what follows the line's first '{', up to the line feed. Local time.
std::string formatLogLine(const InputEvent& event, std::chrono::system_clock::time_point when,
                          LineWriter writer);

}  // namespace ostrovane::tools
