#include "dispatch/SerialQueue.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <future>
#include <mutex>
#include <thread>

#include "dispatch/ThreadName.h"
#include "util/ThreadAnnotations.h"

namespace ostrovane::dispatch {
namespace detail {

// The shared state of a queue. Worker threads and QueueRefs hold it; the
// SerialQueue object decides when it stops.
class QueueCore {
  public:
    QueueCore(Clock& clock, std::string label, bool ownThread)
        : clock_(clock), label_(std::move(label)), ownThread_(ownThread) {}

    ~QueueCore() { dropPending(); }

    Clock& clock() const { return clock_; }
    const std::string& label() const { return label_; }

    bool post(std::function<void()> task) {
        {
            util::MutexLock lock(mutex_);
            if (_stopping)
                return false;
            _tasks.push_back(std::move(task));
            clock_.beginActivity();
        }
        wake_.notify_one();
        return true;
    }

    // Runs tasks on the calling thread until stop() is called.
    void serve() {
        servingThread_.store(std::this_thread::get_id());
        util::MutexLock lock(mutex_);
        for (;;) {
            lock.wait(wake_, [this]() REQUIRES(mutex_) {
                return _stopping || (!_tasks.empty() && !_busy);
            });
            if (_stopping)
                break;
            auto task = std::move(_tasks.front());
            _tasks.pop_front();
            _busy = true;
            lock.unlock();
            task();
            task = nullptr;  // captured state dies before the work is accounted done
            // A queue destroyed by this very task has accounted for it; the
            // clock may be gone by now, so touch nothing but the core.
            if (abandoned_.load())
                return;
            clock_.endActivity();
            lock.lock();
            _busy = false;
        }
        servingThread_.store(std::thread::id{});
    }

    // Runs `task` on the calling thread when the queue is idle, as the
    // queue's next task: nothing else of the queue runs meanwhile. Saves two
    // thread switches per call, which matters for callers that hand over
    // audio through the queue a hundred times a second. Returns false, without
    // running it, when the queue is busy, has work waiting or is served by a
    // thread of its own choosing (the main thread).
    bool runInlineIfIdle(const std::function<void()>& task) {
        if (!ownThread_)
            return false;
        {
            util::MutexLock lock(mutex_);
            if (_stopping || _busy || !_tasks.empty())
                return false;
            _busy = true;
            clock_.beginActivity();
        }
        const auto previous = inlineThread_.exchange(std::this_thread::get_id());
        task();
        inlineThread_.store(previous);
        // A queue destroyed by this very task has accounted for it (the
        // caller keeps the core alive, not the clock).
        if (abandoned_.load())
            return true;
        clock_.endActivity();
        bool waiting;
        {
            util::MutexLock lock(mutex_);
            _busy = false;
            waiting = !_tasks.empty();
        }
        // Work posted meanwhile waited for us; an idle worker is left asleep.
        if (waiting)
            wake_.notify_one();
        return true;
    }

    void stop() {
        {
            util::MutexLock lock(mutex_);
            _stopping = true;
        }
        wake_.notify_all();
    }

    void dropPending() {
        std::deque<std::function<void()>> dropped;
        {
            util::MutexLock lock(mutex_);
            dropped.swap(_tasks);
        }
        for (std::size_t i = 0; i < dropped.size(); ++i)
            clock_.endActivity();
    }

    bool isCurrent() const {
        const auto me = std::this_thread::get_id();
        return servingThread_.load() == me || inlineThread_.load() == me;
    }

    // Called on the worker by a task that destroys the queue: the worker
    // will leave as soon as that task returns, without waiting for it.
    void abandon() {
        abandoned_.store(true);
        clock_.endActivity();  // for the task still on the stack
    }

    std::jthread worker;

  private:
    Clock& clock_;
    const std::string label_;
    util::Mutex mutex_;
    std::condition_variable wake_;
    const bool ownThread_;
    std::deque<std::function<void()>> _tasks GUARDED_BY(mutex_);
    bool _stopping GUARDED_BY(mutex_) = false;
    bool _busy GUARDED_BY(mutex_) = false;  // a task runs, on the worker or inline
    std::atomic<std::thread::id> servingThread_{};
    std::atomic<std::thread::id> inlineThread_{};
    std::atomic<bool> abandoned_{false};
};

}  // namespace detail

bool QueueRef::async(std::function<void()> task) const {
    auto core = core_.lock();
    return core && core->post(std::move(task));
}

bool QueueRef::runOrAsync(std::function<void()> task) const {
    auto core = core_.lock();
    return core && (core->runInlineIfIdle(task) || core->post(std::move(task)));
}

SerialQueue::SerialQueue(Clock& clock, std::string label)
    : core_(std::make_shared<detail::QueueCore>(clock, std::move(label), true)) {
    core_->worker = std::jthread([core = core_] {
        nameCurrentThread(core->label());
        core->serve();
    });
}

SerialQueue::SerialQueue(Clock& clock, std::string label, ServedExternally)
    : core_(std::make_shared<detail::QueueCore>(clock, std::move(label), false)) {}

SerialQueue::~SerialQueue() {
    close();
}

void SerialQueue::close() {
    core_->stop();
    if (core_->worker.joinable()) {
        // A queue released by its own last task cannot wait for itself; the
        // worker keeps the core alive until it returns.
        if (core_->isCurrent()) {
            core_->abandon();
            core_->worker.detach();
        } else {
            core_->worker.join();
        }
    }
    core_->dropPending();
}

const std::string& SerialQueue::label() const {
    return core_->label();
}

Clock& SerialQueue::clock() const {
    return core_->clock();
}

void SerialQueue::async(std::function<void()> task) {
    core_->post(std::move(task));
}

void SerialQueue::async(std::shared_ptr<WorkItem> item) {
    core_->post([item = std::move(item)] { item->perform(); });
}

void SerialQueue::sync(const std::function<void()>& task) {
    if (core_->isCurrent()) {
        task();
        return;
    }
    if (core_->runInlineIfIdle(task))
        return;
    std::promise<void> done;
    auto finished = done.get_future();
    if (!core_->post([&task, &done] {
            task();
            done.set_value();
        })) {
        return;  // the queue is shutting down; nothing will run on it again
    }
    finished.get();
}

std::shared_ptr<WorkItem> SerialQueue::asyncAfter(Duration delay, std::function<void()> task) {
    auto item = WorkItem::make(std::move(task));
    asyncAfter(delay, item);
    return item;
}

void SerialQueue::asyncAfter(Duration delay, std::shared_ptr<WorkItem> item) {
    Clock& clock = core_->clock();
    clock.schedule(clock.uptime() + delay, [queue = ref(), item = std::move(item)] {
        if (item->isCancelled())
            return;
        queue.async([item] { item->perform(); });
    });
}

bool SerialQueue::isCurrent() const {
    return core_->isCurrent();
}

QueueRef SerialQueue::ref() const {
    return QueueRef(core_);
}

void SerialQueue::serve() {
    core_->serve();
}

void SerialQueue::stopServing() {
    core_->stop();
}

MainQueue::MainQueue(Clock& clock) : SerialQueue(clock, "main", ServedExternally{}) {}

MainQueue::~MainQueue() {
    stop();
}

}  // namespace ostrovane::dispatch
