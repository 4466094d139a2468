// Whole-process round trip: a HEALTH_CHECK written to the helper's standard
// input until its answer arrives on standard error, as a parent sees it.
#include <benchmark/benchmark.h>

#include "support/HelperProcess.h"

namespace {

void BM_HealthCheckRoundTrip(benchmark::State& state) {
    ostrovane::test::HelperProcess helper(OSTROVANE_BINARY);
    auto& errors = helper.errors();
    if (!errors.waitForLine("Helper ready, waiting for commands...")) {
        state.SkipWithError("helper did not start");
        return;
    }
    auto isAnswer = [](const std::string& l) { return l.rfind("CMD_RESPONSE:HEALTH_OK:", 0) == 0; };
    std::size_t next = errors.lines().size();
    for (auto _ : state) {
        helper.sendLine("HEALTH_CHECK");
        auto answer = errors.waitForLineMatching(isAnswer, next);
        if (!answer) {
            state.SkipWithError("no answer");
            break;
        }
        next = *answer + 1;
    }
    helper.sendLine("STOP");
    helper.waitForExit();
}
BENCHMARK(BM_HealthCheckRoundTrip)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
