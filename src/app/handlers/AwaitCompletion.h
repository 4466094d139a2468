#pragma once

#include <chrono>
#include <future>
#include <memory>
#include <optional>
#include <utility>

namespace ostrovane::app {

// How long a command handler waits for an operation it began on another
// thread (a start, a stop, a switch) before it answers without it: a service
// that hangs must never hold up the command loop for good.
inline constexpr std::chrono::seconds kAwaitLimit{30};

// Begins `operation`, handing it a completion that takes the `Result`, and
// waits up to kAwaitLimit: the result, or nothing when the limit passed. A
// completion that comes later finds its promise alive and is dropped.
template <class Result, class Operation>
std::optional<Result> awaitCompletion(Operation&& operation) {
    auto promise = std::make_shared<std::promise<Result>>();
    auto answer = promise->get_future();
    std::forward<Operation>(operation)(
        [promise](Result result) { promise->set_value(std::move(result)); });
    if (answer.wait_for(kAwaitLimit) != std::future_status::ready)
        return std::nullopt;
    return answer.get();
}

// The same for an operation whose completion carries nothing the handler
// needs: true when it came within the limit.
template <class Operation>
bool awaitSignal(Operation&& operation) {
    auto promise = std::make_shared<std::promise<void>>();
    auto done = promise->get_future();
    std::forward<Operation>(operation)([promise](auto&&...) { promise->set_value(); });
    return done.wait_for(kAwaitLimit) == std::future_status::ready;
}

}  // namespace ostrovane::app
