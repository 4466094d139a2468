#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "dispatch/ManualClock.h"
#include "dispatch/SerialQueue.h"
#include "dispatch/SystemClock.h"

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

TEST(SerialQueue, SyncOnAnIdleQueueRunsOnTheCallerButAMainQueueOnlyOnItsThread) {
    SystemClock clock;
    SerialQueue queue(clock, "test.inline");
    std::thread::id ranOn;
    std::vector<int> order;  // touched only on the queue
    queue.sync([&] {
        ranOn = std::this_thread::get_id();
        EXPECT_TRUE(queue.isCurrent());
        // Work posted from elsewhere meanwhile waits for the inline task.
        std::thread other([&] { queue.async([&] { order.push_back(2); }); });
        other.join();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        order.push_back(1);
        queue.sync([&] { order.push_back(0); });  // from the queue itself: inline
    });
    EXPECT_EQ(ranOn, std::this_thread::get_id());
    EXPECT_FALSE(queue.isCurrent());
    queue.sync([] {});
    EXPECT_THAT(order, ElementsAre(1, 0, 2));

    // A sync behind queued work runs after it, on the queue's thread.
    std::promise<void> release;
    queue.async([f = release.get_future().share()] { f.wait(); });
    std::thread::id blockedRanOn;
    std::thread caller([&] { queue.sync([&] { blockedRanOn = std::this_thread::get_id(); }); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    release.set_value();
    caller.join();
    EXPECT_NE(blockedRanOn, std::thread::id{});
    EXPECT_NE(blockedRanOn, caller.get_id());

    // A main queue's tasks run only on the thread that serves it, not even a
    // sync while it is idle runs elsewhere.
    MainQueue main(clock);
    std::promise<std::thread::id> mainRanOn;
    main.async([&] { mainRanOn.set_value(std::this_thread::get_id()); });
    std::thread server([&] { main.run(); });
    EXPECT_EQ(mainRanOn.get_future().get(), server.get_id());
    std::thread::id syncRanOn;
    main.sync([&] { syncRanOn = std::this_thread::get_id(); });
    EXPECT_EQ(syncRanOn, server.get_id());
    main.stop();
    server.join();
}

// The hand-over a capture thread uses: inline while the queue is idle, behind
// the queue's work otherwise, and always in the order handed over.
TEST(SerialQueue, RunOrAsyncRunsInlineWhenIdleAndKeepsOrderWhenBusy) {
    ManualClock clock(0.0, std::chrono::milliseconds(2000));
    auto queue = std::make_unique<SerialQueue>(clock, "test.handover");
    const QueueRef ref = queue->ref();
    std::vector<int> order;  // touched only on the queue
    std::thread::id ranOn;
    ASSERT_TRUE(ref.runOrAsync([&] {
        ranOn = std::this_thread::get_id();
        EXPECT_TRUE(queue->isCurrent());
        order.push_back(0);
    }));
    EXPECT_EQ(ranOn, std::this_thread::get_id());

    std::promise<void> release;
    queue->async([f = release.get_future().share(), &order] {
        f.wait();
        order.push_back(1);
    });
    for (int i = 2; i < 5; ++i)
        ASSERT_TRUE(ref.runOrAsync([&order, i] { order.push_back(i); }));
    release.set_value();
    clock.settle();
    EXPECT_THAT(order, ElementsAre(0, 1, 2, 3, 4));

    // A task run inline may release the queue itself, as a handler that lets
    // go of its owner's last reference does.
    ASSERT_TRUE(ref.runOrAsync([&] { queue.reset(); }));
    clock.settle();
    EXPECT_FALSE(ref.runOrAsync([] {}));
}

TEST(SerialQueue, DestructionDropsPendingTasksAndRefsOutliveTheQueue) {
    SystemClock clock;
    std::atomic<int> ran{0};
    std::promise<void> release;
    auto gate = release.get_future().share();
    std::thread releaser;
    QueueRef ref;
    {
        SerialQueue queue(clock, "test.drop");
        ref = queue.ref();
        std::promise<void> started;
        queue.async([&started, gate] {
            started.set_value();
            gate.wait();
        });
        for (int i = 0; i < 100; ++i)
            queue.async([&] { ran++; });
        started.get_future().wait();
        releaser = std::thread([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            release.set_value();
        });
        // The destructor waits for the running task, then drops the rest.
    }
    releaser.join();
    EXPECT_EQ(ran.load(), 0);
    EXPECT_FALSE(ref.async([&] { ran++; }));
    EXPECT_EQ(ran.load(), 0);
}

}  // namespace
}  // namespace ostrovane::dispatch
