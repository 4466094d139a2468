// Feeds arbitrary text to the argument readers of START_VIDEO, SWITCH_VIDEO
// and SNAPSHOT_NOW: they must never throw past their callers, and what they
// accept must be within the ranges the video path relies on.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "app/VideoArguments.h"

using namespace ostrovane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    app::readSnapshotWidth(text);
    auto parsed = app::parseJsonObject(text);
    const auto* object = std::get_if<nlohmann::json>(&parsed);
    if (!object)
        return 0;
    if (!object->is_object())
        std::abort();
    const app::StartVideoArguments start = app::readStartVideo(*object);
    if (!app::invalidStartValue(start) &&
        (start.width < 1 || start.width > 65535 || start.height < 1 || start.height > 65535 ||
         start.fps < 1 || start.fps > 255 || start.bitrate < 1000))
        std::abort();
    if (auto id = app::readSwitchTargetId(*object); id && *id == 0)
        std::abort();
    app::readSwitchTargetType(*object);
    return 0;
}
