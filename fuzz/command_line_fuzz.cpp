// Feeds arbitrary standard-input bytes, cut into arbitrary reads, through the
// line assembler and the whole command loop (splitting, upper-casing, dispatch
// and the handlers that need no service), with output going to /dev/null.
#include <fcntl.h>

#include <cstddef>
#include <cstdint>

#include "app/AppContext.h"
#include "app/CommandLoop.h"
#include "app/LineAssembler.h"
#include "dispatch/ManualClock.h"
#include "util/UniqueFd.h"

using namespace ostrovane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const UniqueFd devNull(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    if (size == 0)
        return 0;

    // The first byte picks the read size, so lines straddle reads in every way.
    const std::size_t chunk = 1 + data[0] % 17;
    ++data;
    --size;

    app::LineQueue lines;
    app::LineAssembler assembler(lines, 256);
    for (std::size_t at = 0; at < size; at += chunk) {
        assembler.append(reinterpret_cast<const char*>(data) + at, std::min(chunk, size - at));
    }
    assembler.finish();
    lines.finish();

    // Services a command started may finish tearing down on their own
    // threads after the loop returned, so what they may still touch lives as
    // long as the fuzzer does.
    static dispatch::ManualClock clock;
    static dispatch::MainQueue mainQueue(clock);
    static platform::Platform platform;
    static protocol::TextChannel text(devNull.get());
    static protocol::FrameWriter frames(devNull.get());
    app::AppContext context{text, frames, clock, mainQueue, platform, [](int) {}};
    app::CommandLoop loop(context, lines);
    loop.run();
    return 0;
}
