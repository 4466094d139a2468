#pragma once

#include <gtest/gtest.h>

#include <atomic>

#include "contract/ProviderHarness.h"

namespace ostrovane::contract {

// Process look-ups and the wake notification.
class ApplicationsContract : public testing::TestWithParam<Provider> {
  protected:
    void SetUp() override {
        harness = GetParam().make();
        apps = harness->platform().applications;
    }
    std::unique_ptr<ProviderHarness> harness;
    std::shared_ptr<platform::Applications> apps;
};

TEST_P(ApplicationsContract, ListedApplicationsAreFoundByPidAndUnknownOnesGiveNothing) {
    EXPECT_GT(apps->currentPid(), 0);
    const platform::Pid unused = 0x7FFFFFF0;
    EXPECT_FALSE(apps->executablePath(unused));
    EXPECT_FALSE(apps->runningApplication(unused));
    EXPECT_FALSE(apps->openBundle("/no/such/place/Nothing.app"));
    // Listed applications can be looked up by pid.
    for (const auto& app : apps->runningApplications()) {
        EXPECT_GT(app.pid, 0);
        auto again = apps->runningApplication(app.pid);
        ASSERT_TRUE(again);
        EXPECT_EQ(again->bundleIdentifier, app.bundleIdentifier);
    }
}

TEST_P(ApplicationsContract, WakeObserversAreCalledUntilRemoved) {
    std::atomic<int> first{0};
    std::atomic<int> second{0};
    auto a = apps->addWakeObserver([&] { ++first; });
    auto b = apps->addWakeObserver([&] { ++second; });
    EXPECT_NE(a, b);
    if (!harness->postWake())
        GTEST_SKIP() << "provider cannot cause a wake";
    ASSERT_TRUE(harness->waitUntil([&] { return first == 1 && second == 1; }, 5));

    apps->removeWakeObserver(a);
    harness->postWake();
    ASSERT_TRUE(harness->waitUntil([&] { return second == 2; }, 5));
    harness->pass(0.2);
    EXPECT_EQ(first, 1);
    apps->removeWakeObserver(b);
}

}  // namespace ostrovane::contract
