#pragma once

#include <atomic>
#include <functional>
#include <memory>

namespace ostrovane::dispatch {

// A block of work that can be cancelled until it starts. Cancelling a running
// item does not interrupt it; the item simply never starts if it was cancelled
// first. Shared between the scheduler and whoever may cancel it.
class WorkItem {
  public:
    explicit WorkItem(std::function<void()> body) : body_(std::move(body)) {}

    static std::shared_ptr<WorkItem> make(std::function<void()> body) {
        return std::make_shared<WorkItem>(std::move(body));
    }

    void cancel() noexcept { cancelled_.store(true, std::memory_order_release); }
    bool isCancelled() const noexcept { return cancelled_.load(std::memory_order_acquire); }

    // Runs the body unless the item was cancelled.
    void perform() {
        if (!isCancelled())
            body_();
    }

  private:
    std::function<void()> body_;
    std::atomic<bool> cancelled_{false};
};

}  // namespace ostrovane::dispatch
