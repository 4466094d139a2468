// Audio-server log lines as the mic app detector reads them: any bytes give
// an event or nothing, and an event's name is a prefix of the session name.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "monitoring/AudioMxdLine.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    if (auto event = ostrovane::monitoring::parseAudioMxdLog(line)) {
        if (event->pid < 0 || event->name.size() >= size)
            __builtin_trap();
    }
    ostrovane::monitoring::isLogToolChatter(line);
    return 0;
}
