#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <vector>

#include "dispatch/BackgroundTask.h"
#include "dispatch/ManualClock.h"
#include "dispatch/RepeatingTimer.h"
#include "dispatch/SerialQueue.h"
#include "dispatch/SystemClock.h"

namespace ostrovane::dispatch {
namespace {

using ::testing::ElementsAre;

TEST(RepeatingTimer, TicksOnScheduleUntilCancelledFromItsHandler) {
    ManualClock clock;
    SerialQueue queue(clock, "test.timer");
    std::vector<double> ticks;
    RepeatingTimer* self = nullptr;
    RepeatingTimer timer(queue, seconds(1), milliseconds(100), [&] {
        ticks.push_back(clock.uptimeSeconds());
        if (ticks.size() == 3)
            self->cancel();
    });
    self = &timer;
    timer.start();
    clock.advance(seconds(2.5));
    EXPECT_THAT(ticks, ElementsAre(1, 2));
    clock.advance(seconds(10));
    EXPECT_THAT(ticks, ElementsAre(1, 2, 3));
    EXPECT_FALSE(timer.isRunning());
}

TEST(RepeatingTimer, RestartReplacesTheScheduleAndDestructionStopsTicks) {
    ManualClock clock;
    SerialQueue queue(clock, "test.timer");
    std::vector<double> ticks;
    {
        RepeatingTimer timer(queue, seconds(1), Duration{0},
                             [&] { ticks.push_back(clock.uptimeSeconds()); });
        timer.start(Duration{0});
        clock.advance(milliseconds(1500));  // ticks at 0 and 1
        timer.start(seconds(2));            // next at 3.5, then 4.5
        clock.advance(seconds(3.5));        // to 5.0
    }
    clock.advance(seconds(10));
    EXPECT_THAT(ticks, ElementsAre(0, 1, 3.5, 4.5));
}

TEST(BackgroundTask, PacedLoopIsDeterministicOnTheManualClock) {
    ManualClock clock;
    std::atomic<int> wakeUps{0};
    BackgroundTask task(clock, "test.loop", [&](BackgroundTask::Context& ctx) {
        while (ctx.sleepFor(milliseconds(100)))
            wakeUps++;
    });
    clock.advance(seconds(1));
    EXPECT_EQ(wakeUps.load(), 10);
    clock.advance(milliseconds(50));
    EXPECT_EQ(wakeUps.load(), 10);
    clock.advance(milliseconds(50));
    EXPECT_EQ(wakeUps.load(), 11);
    task.requestStop();
    task.join();  // a sleeping loop wakes for the stop without time moving
    clock.settle();
}

TEST(SystemClock, FiresTimersInDeadlineOrderAndHonoursCancel) {
    SystemClock clock;
    SerialQueue queue(clock, "test.real");
    std::mutex mutex;
    std::vector<int> order;
    std::promise<void> done;
    auto finished = done.get_future();
    auto add = [&](int v) {
        std::lock_guard lock(mutex);
        order.push_back(v);
    };
    queue.asyncAfter(milliseconds(60), [&] {
        add(3);
        done.set_value();
    });
    auto cancelled = queue.asyncAfter(milliseconds(30), [&] { add(99); });
    queue.asyncAfter(milliseconds(20), [&] { add(2); });
    queue.asyncAfter(Duration{0}, [&] { add(1); });
    cancelled->cancel();
    ASSERT_EQ(finished.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    std::lock_guard lock(mutex);
    EXPECT_THAT(order, ElementsAre(1, 2, 3));
}

// A sleep the stop did not end would hold the test for an hour, past its time limit.
TEST(SystemClock, BackgroundSleepEndsPromptlyOnStop) {
    SystemClock clock;
    std::atomic<bool> finished{false};
    {
        BackgroundTask task(clock, "test.sleeper", [&](BackgroundTask::Context& ctx) {
            ctx.sleepFor(seconds(3600));
            finished = true;
        });
    }
    EXPECT_TRUE(finished);
}

// Many threads posting, delaying and cancelling at once (run under TSan):
// tasks run one at a time, each producer's in posting order, and every task
// that was not cancelled runs.
TEST(DispatchStress, ConcurrentPostsDelaysAndCancels) {
    SystemClock clock;
    SerialQueue queue(clock, "test.stress");
    constexpr int kProducers = 4, kPerProducer = 1000;
    std::vector<std::vector<int>> seen(kProducers);  // touched only on the queue
    std::atomic<int> inside{0}, delayedRan{0}, delayedExpected{0}, cancelled{0};
    std::atomic<bool> overlapped{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kProducers; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPerProducer; ++i) {
                auto item =
                    queue.asyncAfter(std::chrono::microseconds(i % 7), [&] { delayedRan++; });
                if ((i + t) % 3 == 0) {
                    item->cancel();  // may still run when cancelled too late
                    cancelled++;
                } else {
                    delayedExpected++;
                }
                queue.async([&, t, i] {
                    if (inside.fetch_add(1) != 0)
                        overlapped = true;
                    seen[t].push_back(i);
                    inside.fetch_sub(1);
                });
            }
        });
    }
    for (auto& th : threads)
        th.join();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (delayedRan.load() < delayedExpected.load() &&
           std::chrono::steady_clock::now() < deadline) {
        queue.sync([] {});
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    queue.sync([] {});
    EXPECT_FALSE(overlapped);
    for (const auto& s : seen) {
        ASSERT_EQ(s.size(), static_cast<std::size_t>(kPerProducer));
        for (int i = 0; i < kPerProducer; ++i)
            ASSERT_EQ(s[i], i);
    }
    EXPECT_GE(delayedRan.load(), delayedExpected.load());
    EXPECT_LE(delayedRan.load(), delayedExpected.load() + cancelled.load());
}

}  // namespace
}  // namespace ostrovane::dispatch
