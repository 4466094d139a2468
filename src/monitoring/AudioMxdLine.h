#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ostrovane::monitoring {

// One process's input-running state, as an audio-server log line states it.
struct AudioMxdEvent {
    std::string name;  // the process name before "(pid)", untrimmed, possibly empty
    std::int32_t pid = 0;
    bool inputRunning = false;
    bool operator==(const AudioMxdEvent&) const = default;
};

// Reads a log line whose message ends in a JSON object running to the end of
// the line: {"session":{"name":"<process>(<pid>)",...},"details":{"input_running":<bool>,...}}.
// Every other shape gives nothing. Pure: lines from any source can be fed.
std::optional<AudioMxdEvent> parseAudioMxdLog(std::string_view line);

// Lines that contain either word are the log tool's own chatter, not events.
bool isLogToolChatter(std::string_view line);

}  // namespace ostrovane::monitoring
