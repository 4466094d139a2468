#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "streaming/AudioGapTracker.h"

namespace ostrovane::streaming {
namespace {

constexpr std::int64_t kBytesPerMs = 192;  // 48 kHz, 2 channels of 16 bits

struct Hole {
    std::int64_t positionMs;
    std::int64_t durationMs;
    GapReason reason;
};

// A source's deliveries as milliseconds of audio handed over at each 10 ms
// step, sampled every 100 ms as the gap watch does, over `totalMs`.
std::vector<Hole> holesOf(const std::function<std::int64_t(std::int64_t atMs)>& deliveredAt,
                          std::int64_t totalMs) {
    SourceGapTracker tracker;
    std::vector<Hole> holes;
    std::int64_t delivered = 0;
    std::optional<dispatch::Duration> last;
    for (std::int64_t ms = 10; ms <= totalMs; ms += 10) {
        if (const auto audioMs = deliveredAt(ms); audioMs > 0) {
            delivered += audioMs * kBytesPerMs;
            last = dispatch::milliseconds(ms);
        }
        if (ms % 100 != 0)
            continue;
        if (auto hole = tracker.sample(dispatch::milliseconds(ms), delivered, last))
            holes.push_back({hole->position / kBytesPerMs, hole->durationMs, hole->reason});
    }
    return holes;
}

// Audio that comes late or in bursts is no hole; audio that never comes is,
// placed where the source fell silent and as long as what is missing.
TEST(SourceGapTracker, HolesAreWhatTheSourceNeverDeliveredWhereItFellSilent) {
    const auto steady = [](std::int64_t) { return std::int64_t{10}; };
    struct Case {
        const char* name;
        std::function<std::int64_t(std::int64_t)> deliveredAt;
        std::vector<Hole> holes;
    };
    const std::vector<Case> cases = {
        {"steady", steady, {}},
        {"first audio after 600 ms",
         [](std::int64_t ms) { return ms > 600 ? std::int64_t{10} : 0; },
         {{0, 600, GapReason::lateStart}}},
        {"a second without audio from 2 s on",
         [](std::int64_t ms) { return ms > 2000 && ms <= 3000 ? 0 : std::int64_t{10}; },
         {{2000, 1000, GapReason::sourceSilent}}},
        {"two silences, each a hole",
         [](std::int64_t ms) {
             return (ms > 1000 && ms <= 1500) || (ms > 3000 && ms <= 3300) ? 0 : std::int64_t{10};
         },
         {{1000, 500, GapReason::sourceSilent}, {2500, 300, GapReason::sourceSilent}}},
        {"two-second blocks",
         [](std::int64_t ms) { return ms % 2000 == 0 ? std::int64_t{2000} : 0; },
         {}},
        {"what was held back comes in a burst",
         [](std::int64_t ms) {
             if (ms > 1000 && ms < 1500)
                 return std::int64_t{0};
             return ms == 1500 ? std::int64_t{500} : std::int64_t{10};
         },
         {}},
        {"a pause shorter than the silence threshold",
         [](std::int64_t ms) { return ms > 1000 && ms <= 1080 ? 0 : std::int64_t{10}; },
         {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto holes = holesOf(c.deliveredAt, 6000);
        ASSERT_EQ(holes.size(), c.holes.size());
        for (std::size_t i = 0; i < holes.size(); ++i) {
            EXPECT_NEAR(holes[i].positionMs, c.holes[i].positionMs, 10);
            EXPECT_NEAR(holes[i].durationMs, c.holes[i].durationMs, 20);
            EXPECT_EQ(holes[i].reason, c.holes[i].reason);
        }
    }
}

TEST(SourceGapTracker, TheEventNamesStreamSequenceDurationReasonAndTime) {
    EXPECT_EQ(audioGapPayload("mic", 42, 520, GapReason::sourceSilent, 1765012345.5),
              R"(AUDIO_GAP:{"stream":"mic","sequence":42,"durationMs":520,)"
              R"("reason":"source_silent","timestamp":1765012345.5})");
}

}  // namespace
}  // namespace ostrovane::streaming
