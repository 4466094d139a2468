#include "audiolog/AudioLogDiff.h"

namespace ostrovane::tools {

std::vector<InputEvent> diffInput(const InputSnapshot& before, const InputSnapshot& after) {
    std::vector<InputEvent> events;
    auto old = before.begin();
    auto now = after.begin();
    // Both maps are ordered by pid: walk them side by side.
    while (old != before.end() || now != after.end()) {
        if (now == after.end() || (old != before.end() && old->first < now->first)) {
            events.push_back({old->first, old->second, false});
            ++old;
        } else if (old == before.end() || now->first < old->first) {
            events.push_back({now->first, now->second, true});
            ++now;
        } else {
            ++old;
            ++now;
        }
    }
    return events;
}

}  // namespace ostrovane::tools
