#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>
#include <vector>

#include "dispatch/ManualClock.h"
#include "dispatch/SerialQueue.h"
#include "dispatch/SystemClock.h"

namespace ostrovane::dispatch {
namespace {

TEST(SerialQueue, RunsTasksOneAtATimeInPostingOrderPerProducer) {
    SystemClock clock;
    SerialQueue queue(clock, "test.order");
    constexpr int kProducers = 4;
    constexpr int kPerProducer = 2000;
    std::vector<std::vector<int>> seen(kProducers);  // touched only on the queue
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};

    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&, p] {
            for (int i = 0; i < kPerProducer; ++i) {
                queue.async([&, p, i] {
                    if (inside.fetch_add(1) != 0)
                        overlapped = true;
                    seen[p].push_back(i);
                    inside.fetch_sub(1);
                });
            }
        });
    }
    for (auto& t : producers)
        t.join();
    queue.sync([] {});

    EXPECT_FALSE(overlapped);
    for (const auto& s : seen) {
        ASSERT_EQ(s.size(), static_cast<size_t>(kPerProducer));
        for (int i = 0; i < kPerProducer; ++i)
            ASSERT_EQ(s[i], i);
    }
}

TEST(SerialQueue, SyncWaitsForTheTaskAndRunsInlineFromTheQueueItself) {
    SystemClock clock;
    SerialQueue queue(clock, "test.sync");
    int value = 0;
    queue.async([&] { value = 1; });
    queue.sync([&] { value += 1; });
    EXPECT_EQ(value, 2);

    bool nestedRan = false;
    queue.sync([&] {
        EXPECT_TRUE(queue.isCurrent());
        queue.sync([&] { nestedRan = true; });  // would deadlock if not inline
    });
    EXPECT_TRUE(nestedRan);
    EXPECT_FALSE(queue.isCurrent());
}

TEST(SerialQueue, SyncOnAnIdleQueueRunsOnTheCallerAsTheQueuesOnlyTask) {
    SystemClock clock;
    SerialQueue queue(clock, "test.inline");
    std::thread::id ranOn;
    std::vector<int> order;  // touched only on the queue
    std::promise<void> posted;
    queue.sync([&] {
        ranOn = std::this_thread::get_id();
        EXPECT_TRUE(queue.isCurrent());
        // Work posted from elsewhere meanwhile waits for the inline task.
        std::thread other([&] { queue.async([&] { order.push_back(2); }); });
        other.join();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        order.push_back(1);
    });
    EXPECT_EQ(ranOn, std::this_thread::get_id());
    EXPECT_FALSE(queue.isCurrent());
    queue.sync([] {});
    EXPECT_THAT(order, ::testing::ElementsAre(1, 2));

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

TEST(SerialQueue, ManualClockCountsQueuedWorkUntilItRuns) {
    ManualClock clock;
    SerialQueue queue(clock, "test.settle");
    std::atomic<int> ran{0};
    for (int i = 0; i < 50; ++i)
        queue.async([&] { ran++; });
    clock.settle();
    EXPECT_EQ(ran.load(), 50);
}

TEST(SerialQueue, ManualClockReportsWorkThatNeverSettles) {
    ManualClock clock(0.0, std::chrono::milliseconds(50));
    SerialQueue queue(clock, "test.blocked");
    std::promise<void> release;
    auto gate = release.get_future();
    queue.async([&] { gate.wait(); });
    EXPECT_THROW(clock.settle(), std::runtime_error);
    release.set_value();
    clock.settle();
}

TEST(MainQueue, IsServedByTheThreadThatRunsItUntilStopped) {
    SystemClock clock;
    MainQueue main(clock);
    std::promise<std::thread::id> ranOn;
    main.async([&] { ranOn.set_value(std::this_thread::get_id()); });
    std::thread server([&] { main.run(); });
    EXPECT_EQ(ranOn.get_future().get(), server.get_id());
    // Its tasks never run elsewhere, not even a sync while it is idle.
    std::thread::id syncRanOn;
    main.sync([&] { syncRanOn = std::this_thread::get_id(); });
    EXPECT_EQ(syncRanOn, server.get_id());
    main.stop();
    server.join();
}

}  // namespace
}  // namespace ostrovane::dispatch
