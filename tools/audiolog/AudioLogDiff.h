#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace ostrovane::tools {

// The applications running audio input at one moment: pid -> program name.
using InputSnapshot = std::map<std::int32_t, std::string>;

// An application that started (running) or stopped running audio input.
struct InputEvent {
    std::int32_t pid = 0;
    std::string name;
    bool running = false;

    bool operator==(const InputEvent&) const = default;
};

// What changed from `before` to `after`, by ascending pid. A process that
// stops carries the name it had while running; a change of name alone is not
// an event.
std::vector<InputEvent> diffInput(const InputSnapshot& before, const InputSnapshot& after);

}  // namespace ostrovane::tools
