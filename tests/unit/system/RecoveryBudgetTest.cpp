#include <gtest/gtest.h>

#include "sources/system/RecoveryBudget.h"

// The budget of system-audio recoveries alone, on paths the simulated
// scenarios reach only with awkward timing.
namespace ostrovane::sources::system {
namespace {

// The source is live (capturing) or was stopped meanwhile; a rebuild
// succeeded or failed.
constexpr bool kLive = true, kStopped = false;
constexpr bool kSucceeded = true, kFailed = false;

TEST(RecoveryBudgetTest, WindowsRenewOnlyWhenARequestArrivesAfterThem) {
    RecoveryBudget budget(100.0);
    for (int i = 0; i < 3; ++i) {
        auto granted = budget.requestNormal(100.0 + i, kLive);
        ASSERT_TRUE(granted.ticket);
        EXPECT_FALSE(budget.finish(*granted.ticket, kSucceeded, kLive));
    }
    EXPECT_TRUE(budget.requestNormal(400.0, kLive).overBudget);  // exactly 300 s: same window
    auto renewed = budget.requestNormal(400.5, kLive);
    ASSERT_TRUE(renewed.ticket);
    EXPECT_EQ(budget.recoveryAttempts(), 1);

    // Contention: 15 per 60 s, then exhausted, which also ends contention mode.
    for (int i = 0; i < 15; ++i) {
        auto d = budget.requestContention(500.0, kLive);
        ASSERT_TRUE(d.proceed);
        EXPECT_EQ(d.preemptedNormal, i == 0);
        EXPECT_TRUE(budget.finish(d.ticket, kFailed, kLive));  // failed: retry at once
    }
    auto spent = budget.requestContention(560.0, kLive);
    EXPECT_TRUE(spent.exhausted);
    EXPECT_EQ(spent.attempt, 15);
    EXPECT_FALSE(budget.inContentionRecovery());
    auto again = budget.requestContention(560.1, kLive);
    EXPECT_TRUE(again.proceed);
    EXPECT_EQ(again.attempt, 1);
}

TEST(RecoveryBudgetTest, GateRefundsOnlySupersededNormalRebuildsOfTheSameSession) {
    RecoveryBudget budget(0.0);
    const RecoveryTicket normal = *budget.requestNormal(1.0, kLive).ticket;
    const RecoveryTicket contention = budget.requestContention(2.0, kLive).ticket;
    EXPECT_FALSE(budget.admit(normal, kLive));
    EXPECT_EQ(budget.recoveryAttempts(), 0);
    EXPECT_FALSE(budget.admit(normal, kLive));  // never below zero
    EXPECT_EQ(budget.recoveryAttempts(), 0);
    EXPECT_TRUE(budget.admit(contention, kLive));

    // A finished rebuild that lost its turn leaves the newer one's flag alone.
    EXPECT_FALSE(budget.finish(normal, kFailed, kLive));
    EXPECT_TRUE(budget.recoveryScheduled());

    // Inactive: the current request gives up its flag; no refund after a stop.
    EXPECT_FALSE(budget.admit(contention, kStopped));
    EXPECT_FALSE(budget.recoveryScheduled());
    budget.reset(10.0);
    const RecoveryTicket beforeStop = *budget.requestNormal(11.0, kLive).ticket;
    budget.endSession();
    EXPECT_FALSE(budget.admit(beforeStop, kLive));
    EXPECT_EQ(budget.recoveryAttempts(), 1);
    EXPECT_FALSE(budget.requestNormal(12.0, kStopped).ticket);
}

TEST(RecoveryBudgetTest, ExhaustionWhileANormalRebuildIsPendingLeavesItToRun) {
    RecoveryBudget budget(0.0, RecoveryLimits{.contentionMaxAttempts = 0});
    const RecoveryTicket normal = *budget.requestNormal(1.0, kLive).ticket;
    auto d = budget.requestContention(2.0, kLive);
    EXPECT_TRUE(d.exhausted);
    EXPECT_TRUE(d.preemptedNormal);
    EXPECT_FALSE(budget.recoveryScheduled());
    EXPECT_TRUE(budget.admit(normal, kLive));
}

}  // namespace
}  // namespace ostrovane::sources::system
