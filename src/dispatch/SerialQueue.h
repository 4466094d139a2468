#pragma once

#include <functional>
#include <memory>
#include <string>

#include "dispatch/Clock.h"
#include "dispatch/WorkItem.h"

namespace ostrovane::dispatch {

namespace detail {
class QueueCore;
}

// A weak handle to a queue: posting through it after the queue is gone does
// nothing. Timers and platform callbacks hold these, never the queue itself.
class QueueRef {
  public:
    QueueRef() = default;
    explicit QueueRef(std::weak_ptr<detail::QueueCore> core) : core_(std::move(core)) {}

    // Returns false when the queue no longer exists.
    bool async(std::function<void()> task) const;
    // Runs `task` on the calling thread as the queue's next task when the
    // queue is idle, as a synchronous dispatch would, and posts it otherwise;
    // either way it runs in order with the queue's other tasks. Returns false
    // when the queue no longer exists.
    bool runOrAsync(std::function<void()> task) const;

  private:
    std::weak_ptr<detail::QueueCore> core_;
};

// A FIFO of tasks executed one at a time, in order, on one thread of its own
// (or, for the main queue, on the thread that serves it).
//
// Destroying the queue drops the tasks that have not started and waits for the
// running one to finish. Destroyed from its own running task, it cannot wait:
// that task finishes on the queue's thread, which then leaves touching nothing
// but the queue's own state (not the clock, which may be gone by then).
class SerialQueue {
  public:
    SerialQueue(Clock& clock, std::string label);
    virtual ~SerialQueue();

    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    // Stops the queue ahead of its destruction: drops the tasks that have not
    // started and waits for the running one (unless called from it). Later
    // posts do nothing. For owners whose tasks use the owner's other members.
    void close();

    const std::string& label() const;
    Clock& clock() const;

    void async(std::function<void()> task);
    void async(std::shared_ptr<WorkItem> item);

    // Runs `task` on the queue and waits for it. Called from the queue's own
    // thread it runs inline instead of deadlocking. On an idle queue with a
    // thread of its own it runs on the calling thread, as the queue's next
    // task (isCurrent() is true in it; nothing else of the queue runs
    // meanwhile); the main queue's tasks always run on the main thread.
    void sync(const std::function<void()>& task);

    // Runs `task` on the queue once `delay` has passed on the clock. The
    // returned item cancels it.
    std::shared_ptr<WorkItem> asyncAfter(Duration delay, std::function<void()> task);
    void asyncAfter(Duration delay, std::shared_ptr<WorkItem> item);

    // True when called from a task of this queue.
    bool isCurrent() const;

    QueueRef ref() const;

  protected:
    struct ServedExternally {};
    SerialQueue(Clock& clock, std::string label, ServedExternally);

    // For externally served queues: runs tasks on the calling thread until
    // stopServing() is called.
    void serve();
    void stopServing();

  private:
    std::shared_ptr<detail::QueueCore> core_;
};

// The queue of the main thread. The process's main thread serves it for ever
// (the run loop); tests serve it from a thread of their own.
class MainQueue : public SerialQueue {
  public:
    explicit MainQueue(Clock& clock);
    ~MainQueue() override;

    // Serves the queue on the calling thread until stop() is called.
    void run() { serve(); }
    void stop() { stopServing(); }
};

}  // namespace ostrovane::dispatch
