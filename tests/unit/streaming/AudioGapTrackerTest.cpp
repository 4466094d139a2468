#include <gtest/gtest.h>

#include <functional>
#include <tuple>
#include <vector>

#include "streaming/AudioGapTracker.h"

namespace ostrovane::streaming {
namespace {

using Hole = std::tuple<std::int64_t, std::int64_t, GapReason>;  // at (ms of audio), ms, why

// A source handing over `audioMs(atMs)` ms of audio at each 10 ms step for
// 8 s, sampled every 100 ms as the gap watch does. Audio that comes late or
// in bursts is no hole; audio that never comes is, placed where the source
// fell silent and as long as what is missing (to 20 ms).
TEST(SourceGapTracker, HolesAreWhatTheSourceNeverDeliveredWhereItFellSilent) {
    using Script = std::function<std::int64_t(std::int64_t)>;
    const auto tenMsUnless = [](auto silent) -> Script {
        return [silent](std::int64_t ms) { return silent(ms) ? 0 : std::int64_t{10}; };
    };
    const std::vector<std::tuple<Script, std::vector<Hole>>> cases = {
        {tenMsUnless([](auto ms) { return ms <= 600; }), {{0, 600, GapReason::lateStart}}},
        {tenMsUnless([](auto ms) {
             return (ms > 1000 && ms <= 1500) || (ms > 3000 && ms <= 3300) ||
                    (ms > 4000 && ms <= 4080);
         }),
         {{1000, 500, GapReason::sourceSilent},
          {2500, 300, GapReason::sourceSilent},
          {3220, 80, GapReason::sourceSilent}}},
        {tenMsUnless([](auto ms) { return ms > 2000 && ms <= 2060; }),
         {{2040, 60, GapReason::sourceSilent}}},
        {[](std::int64_t ms) { return ms % 2000 ? 0 : std::int64_t{2000}; }, {}},
        {[](std::int64_t ms) { return ms > 1000 && ms < 1500 ? 0
                                      : ms == 1500           ? 500
                                                             : 10; }, {}},
    };
    for (const auto& [audioMs, expected] : cases) {
        SourceGapTracker tracker;
        std::vector<Hole> holes;
        std::int64_t delivered = 0;  // bytes: 192 a millisecond
        std::optional<dispatch::Duration> last;
        for (std::int64_t ms = 10; ms <= 8000; ms += 10) {
            if (const auto got = audioMs(ms); got > 0)
                std::tie(delivered, last) =
                    std::tuple(delivered + got * 192, dispatch::milliseconds(ms));
            if (ms % 100 == 0)
                if (auto hole = tracker.sample(dispatch::milliseconds(ms), delivered, last))
                    holes.emplace_back(hole->position / 192, hole->durationMs, hole->reason);
        }
        ASSERT_EQ(holes.size(), expected.size());
        for (std::size_t i = 0; i < holes.size(); ++i) {
            EXPECT_NEAR(std::get<0>(holes[i]), std::get<0>(expected[i]), 10);
            EXPECT_NEAR(std::get<1>(holes[i]), std::get<1>(expected[i]), 20);
            EXPECT_EQ(std::get<2>(holes[i]), std::get<2>(expected[i]));
        }
    }
}

}  // namespace
}  // namespace ostrovane::streaming
