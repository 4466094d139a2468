#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "dispatch/BackgroundTask.h"
#include "dispatch/ManualClock.h"
#include "dispatch/RepeatingTimer.h"
#include "dispatch/SerialQueue.h"
#include "dispatch/SystemClock.h"
#include "support/WaitUntil.h"

namespace ostrovane::dispatch {
namespace {

using ::testing::ElementsAre;

// A timer ticks on schedule until its handler cancels it; a restart replaces
// the schedule, and destruction stops the ticks.
TEST(RepeatingTimer, TicksOnScheduleUntilCancelledRestartedOrDestroyed) {
    ManualClock clock;
    SerialQueue queue(clock, "test.timer");
    std::vector<double> ticks;
    RepeatingTimer* self = nullptr;
    RepeatingTimer cancelling(queue, seconds(1), milliseconds(100), [&] {
        ticks.push_back(clock.uptimeSeconds());
        if (ticks.size() == 3)
            self->cancel();
    });
    self = &cancelling;
    cancelling.start();
    clock.advance(seconds(2.5));
    EXPECT_THAT(ticks, ElementsAre(1, 2));
    clock.advance(seconds(10));
    EXPECT_THAT(ticks, ElementsAre(1, 2, 3));
    EXPECT_FALSE(cancelling.isRunning());

    ticks.clear();
    {
        RepeatingTimer timer(queue, seconds(1), Duration{0},
                             [&] { ticks.push_back(clock.uptimeSeconds()); });
        timer.start(Duration{0});
        clock.advance(milliseconds(1500));  // ticks at 12.5 and 13.5
        timer.start(seconds(2));            // next at 16, then 17
        clock.advance(seconds(3.5));        // to 17.5
    }
    clock.advance(seconds(10));
    EXPECT_THAT(ticks, ElementsAre(12.5, 13.5, 16, 17));
}

// A paced loop is deterministic on the manual clock; a sleeping loop wakes
// for the stop without time moving, and on the system clock a sleep the stop
// did not end would hold the test for an hour, past its time limit.
TEST(BackgroundTask, PacedLoopsFollowTheClockAndWakeForTheStop) {
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
    task.join();
    clock.settle();

    SystemClock real;
    std::atomic<bool> finished{false};
    {
        BackgroundTask sleeper(real, "test.sleeper", [&](BackgroundTask::Context& ctx) {
            ctx.sleepFor(seconds(3600));
            finished = true;
        });
    }
    EXPECT_TRUE(finished);
}

// Many threads posting, delaying and cancelling at once (run under TSan):
// tasks run one at a time, each producer's in posting order, and every task
// that was not cancelled runs.
TEST(DispatchStress, ConcurrentPostsDelaysAndCancelsAllRun) {
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
    test::waitUntil(
        [&] {
            queue.sync([] {});
            return delayedRan.load() >= delayedExpected.load();
        },
        std::chrono::seconds(20), std::chrono::milliseconds(1));
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
