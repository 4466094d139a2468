#include "dispatch/BackgroundTask.h"

#include "dispatch/ThreadName.h"

namespace ostrovane::dispatch {

BackgroundTask::BackgroundTask(Clock& clock, std::string name, std::function<void(Context&)> body)
    : name_(std::move(name)),
      clock_(clock),
      abandoned_(std::make_shared<std::atomic<bool>>(false)) {
    // Counted as activity from now on, so a manual clock waits for the body
    // to reach its first sleep before it moves time.
    clock.beginActivity();
    thread_ = std::jthread([&clock, abandoned = abandoned_, name = name_,
                            body = std::move(body)](std::stop_token stop) {
        nameCurrentThread(name);
        Context context(clock, std::move(stop));
        body(context);
        // An abandoned task was accounted for by its destructor, and its
        // clock may be gone.
        if (!abandoned->load())
            clock.endActivity();
    });
}

BackgroundTask::~BackgroundTask() {
    thread_.request_stop();
    // A task whose body released the task's last owner cannot wait for
    // itself: the body is on its way out and must touch only its captures.
    if (thread_.joinable() && thread_.get_id() == std::this_thread::get_id()) {
        abandoned_->store(true);
        clock_.endActivity();
        thread_.detach();
        return;
    }
    join();
}

void BackgroundTask::join() {
    if (thread_.joinable())
        thread_.join();
}

}  // namespace ostrovane::dispatch
