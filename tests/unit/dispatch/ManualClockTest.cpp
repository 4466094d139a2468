#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <vector>

#include "dispatch/ManualClock.h"
#include "dispatch/SerialQueue.h"

namespace ostrovane::dispatch {
namespace {

using ::testing::ElementsAre;

class ManualClockTest : public ::testing::Test {
  protected:
    ManualClock clock{1000.0, std::chrono::milliseconds(200)};
    SerialQueue queue{clock, "test.manual"};
    std::mutex mutex;
    std::vector<double> times;  // uptime seconds at which work ran

    void record() {
        std::lock_guard lock(mutex);
        times.push_back(clock.uptimeSeconds());
    }
};

// Work runs exactly at its deadline, work it schedules fires within the same
// advance, and equal deadlines keep their scheduling order across queues.
// Cancelled work never runs.
TEST_F(ManualClockTest, WorkRunsAtItsDeadlineInSchedulingOrderUnlessCancelled) {
    SerialQueue other(clock, "test.other");
    std::vector<int> order;
    queue.asyncAfter(seconds(2), [&] { order.push_back(1); });
    other.asyncAfter(seconds(2), [&] { order.push_back(2); });
    queue.asyncAfter(seconds(1), [&] { order.push_back(0); });
    std::function<void()> again = [this, &again] {
        record();
        if (times.size() < 5)
            queue.asyncAfter(seconds(1.5), again);
    };
    queue.asyncAfter(seconds(1.5), again);
    clock.advance(milliseconds(1499));
    EXPECT_TRUE(times.empty());
    clock.advance(milliseconds(1));
    EXPECT_THAT(times, ElementsAre(1.5));
    EXPECT_DOUBLE_EQ(clock.wallTime(), 1001.5);
    clock.advance(seconds(10));
    EXPECT_THAT(times, ElementsAre(1.5, 3, 4.5, 6, 7.5));
    EXPECT_THAT(order, ElementsAre(0, 1, 2));
    EXPECT_DOUBLE_EQ(clock.uptimeSeconds(), 11.5);

    times.clear();
    auto item = queue.asyncAfter(seconds(1), [this] { record(); });
    auto kept = queue.asyncAfter(seconds(1), [this] { record(); });
    item->cancel();
    clock.advance(seconds(5));
    EXPECT_EQ(times.size(), 1u);

    const TimerId id = clock.schedule(clock.uptime() + seconds(1), [this] { record(); });
    EXPECT_TRUE(clock.cancel(id));
    EXPECT_FALSE(clock.cancel(id));
    clock.advance(seconds(5));
    EXPECT_EQ(times.size(), 1u);
    EXPECT_EQ(clock.pendingTimers(), 0u);
}

// Settling waits for queued work and reports work that never finishes.
TEST_F(ManualClockTest, SettlesQueuedWorkAndReportsWorkThatNeverSettles) {
    std::atomic<int> ran{0};
    for (int i = 0; i < 50; ++i)
        queue.async([&] { ran++; });
    clock.settle();
    EXPECT_EQ(ran.load(), 50);

    std::promise<void> release;
    auto gate = release.get_future();
    queue.async([&] { gate.wait(); });
    EXPECT_THROW(clock.settle(), std::runtime_error);
    release.set_value();
    clock.settle();
}

}  // namespace
}  // namespace ostrovane::dispatch
