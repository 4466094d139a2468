// The gate between a record stream and its outputs: once closed, no handler
// runs any more, except that a handler may close it from inside.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "platform/pulse/DeliveryGate.h"

namespace ostrovane::platform::pulse {
namespace {

using namespace std::chrono_literals;

TEST(DeliveryGate, CloseWaitsForABufferPassingElsewhereButNotForItsOwnCaller) {
    DeliveryGate gate;
    EXPECT_FALSE(gate.pass([] { ADD_FAILURE() << "passed a closed gate"; }));
    gate.open();

    std::promise<void> inside, release;
    std::thread deliverer([&] {
        gate.pass([&] {
            inside.set_value();
            release.get_future().wait();
        });
    });
    inside.get_future().wait();
    std::atomic<bool> closed{false};
    std::thread closer([&] {
        gate.close();
        closed = true;
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(closed.load()) << "close returned while a buffer was still passing";
    release.set_value();
    closer.join();
    deliverer.join();
    EXPECT_TRUE(closed.load());
    EXPECT_FALSE(gate.pass([] { ADD_FAILURE() << "passed after close"; }));

    // A handler that closes the gate it runs behind does not wait for itself.
    gate.open();
    EXPECT_TRUE(gate.pass([&] { gate.close(); }));
    EXPECT_FALSE(gate.pass([] {}));
}

}  // namespace
}  // namespace ostrovane::platform::pulse
