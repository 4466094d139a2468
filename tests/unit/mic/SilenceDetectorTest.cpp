#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "sources/mic/SilenceDetector.h"

namespace ostrovane::sources::mic {
namespace {

using Action = SilenceDetector::Action;

struct Event {
    double at;
    Action action;
};

// Feeds silent buffers every 10 ms over [from, to), calling recoveryFinished
// `finishAfter` seconds after each attempt, and records every action that is
// not `none`.
std::vector<Event> feedSilence(SilenceDetector& detector, double from, double to,
                               double finishAfter = 0.3) {
    std::vector<Event> events;
    std::optional<double> finishAt;
    for (long k = 0;; ++k) {
        const double t = from + 0.01 * static_cast<double>(k);
        if (t >= to)
            break;
        if (finishAt && t >= *finishAt) {
            detector.recoveryFinished();
            finishAt.reset();
        }
        const Action a = detector.update(0.0, t);
        if (a.kind == Action::Kind::attemptRecovery)
            finishAt = t + finishAfter;
        if (a.kind != Action::Kind::none)
            events.push_back({t, a});
    }
    return events;
}

// The timeline of uninterrupted silence is followed through the microphone
// source's tests, as the lines the parent reads.
TEST(SilenceDetectorTest, NextAttemptWaitsForTheRecoveryInFlight) {
    SilenceDetector detector;
    // The restart takes 10 s: attempt 2 comes at its end, not at 14 s.
    const auto events = feedSilence(detector, 0.0, 19.0, 10.0);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_NEAR(events[0].at, 8.0, 0.011);
    EXPECT_EQ(events[1].action, Action::attemptRecovery(2, 3));
    EXPECT_NEAR(events[1].at, 18.0, 0.021);
}

TEST(SilenceDetectorTest, ThresholdIsInclusiveAndNaNIsSilence) {
    SilenceDetector detector;
    EXPECT_EQ(detector.update(0.00001, 0.0), Action::none());
    EXPECT_TRUE(detector.silenceStart());
    EXPECT_EQ(detector.update(0.0000100001, 1.0), Action::none());  // sound ends the stretch
    EXPECT_FALSE(detector.silenceStart());

    EXPECT_EQ(detector.update(std::numeric_limits<double>::quiet_NaN(), 2.0), Action::none());
    EXPECT_EQ(detector.silenceStart(), 2.0);
    EXPECT_EQ(detector.update(std::numeric_limits<double>::quiet_NaN(), 10.0),
              Action::attemptRecovery(1, 3));
}

TEST(SilenceDetectorTest, SoundAfterAnAttemptIsRecoveredEvenWhileTheRestartIsInFlight) {
    SilenceDetector detector;
    detector.update(0.0, 0.0);
    ASSERT_EQ(detector.update(0.0, 8.0), Action::attemptRecovery(1, 3));
    ASSERT_TRUE(detector.recoveryInFlight());
    EXPECT_EQ(detector.update(0.0, 8.1), Action::none());
    EXPECT_EQ(detector.update(0.3, 8.2), Action::recovered());
    EXPECT_FALSE(detector.recoveryInFlight());
    EXPECT_EQ(detector.update(0.3, 8.3), Action::none());
}

}  // namespace
}  // namespace ostrovane::sources::mic
