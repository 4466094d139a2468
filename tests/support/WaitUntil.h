#pragma once

#include <chrono>
#include <thread>

namespace ostrovane::test {

// Polls `done` every `step` until it holds or `limit` has passed; whether it
// held. Meant for real peers (servers, child processes) that give no signal.
template <typename Predicate>
bool waitUntil(Predicate&& done, std::chrono::milliseconds limit,
               std::chrono::milliseconds step = std::chrono::milliseconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (done())
            return true;
        std::this_thread::sleep_for(step);
    }
    return done();
}

}  // namespace ostrovane::test
