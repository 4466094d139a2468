// LIST_WINDOWS as the command runs it: two content queries and a thumbnail
// of every target (screenshot, PNG, Base64), on a simulated machine with one
// display and 20 windows, in real time.
#include <benchmark/benchmark.h>

#include <fcntl.h>

#include "dispatch/SystemClock.h"
#include "platform/sim/SimWorld.h"
#include "protocol/TextChannel.h"
#include "util/UniqueFd.h"
#include "video/CaptureTargets.h"

namespace {

using namespace ostrovane;

void BM_ListCaptureTargets20Windows(benchmark::State& state) {
    dispatch::SystemClock clock;
    platform::sim::SimWorld world(clock);
    world.addTypicalMachine();
    for (std::uint32_t i = 0; i < 20; ++i) {
        world.screen().addWindow({100 + i,
                                  "Window " + std::to_string(i),
                                  {40.0 * i, 30.0 * i, 800, 600},
                                  platform::OwningApplication{"App", "org.example.app", 1000}});
    }
    const UniqueFd devNull(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    const protocol::TextChannel text(devNull.get());
    for (auto _ : state) {
        const auto targets = video::listCaptureTargets(world.screen(), text);
        benchmark::DoNotOptimize(targets.dump().size());
    }
}
BENCHMARK(BM_ListCaptureTargets20Windows)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
