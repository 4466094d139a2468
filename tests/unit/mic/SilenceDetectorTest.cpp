#include <gtest/gtest.h>

#include <limits>

#include "sources/mic/SilenceDetector.h"

namespace ostrovane::sources::mic {
namespace {

using Action = SilenceDetector::Action;

// The timeline of uninterrupted silence is followed through the microphone
// source's tests, as the lines the parent reads. Here the first attempt comes
// after 8 s of silence, and a restart that takes 10 s holds the second attempt
// until its end, past the 6 s between attempts; sound after an attempt is
// recovered even while the restart is in flight.
TEST(SilenceDetectorTest, NextAttemptWaitsForTheRecoveryInFlightAndSoundEndsIt) {
    SilenceDetector detector;
    EXPECT_EQ(detector.update(0.0, 0.0), Action::none());
    EXPECT_EQ(detector.update(0.0, 7.99), Action::none());
    EXPECT_EQ(detector.update(0.0, 8.0), Action::attemptRecovery(1, 3));
    EXPECT_EQ(detector.update(0.0, 14.0), Action::none());
    EXPECT_EQ(detector.update(0.0, 17.99), Action::none());
    detector.recoveryFinished();
    EXPECT_EQ(detector.update(0.0, 18.0), Action::attemptRecovery(2, 3));
    ASSERT_TRUE(detector.recoveryInFlight());
    EXPECT_EQ(detector.update(0.3, 18.1), Action::recovered());
    EXPECT_FALSE(detector.recoveryInFlight());
    EXPECT_EQ(detector.update(0.3, 18.2), Action::none());
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

}  // namespace
}  // namespace ostrovane::sources::mic
