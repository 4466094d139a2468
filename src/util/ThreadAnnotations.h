#pragma once

// Locking conventions the compiler checks. Under clang with -Wthread-safety
// (the thread-safety preset) these macros become clang's thread-safety
// attributes; under g++ they expand to nothing.
//
// A field only read or written with a mutex held is named `_field` and
// declared GUARDED_BY(mutex_); the mutex is a util::Mutex, held through a
// util::MutexLock. A private function that expects the lock held is declared
// REQUIRES(mutex_), one that takes it itself EXCLUDES(mutex_).

#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define OSTROVANE_THREAD_ATTRIBUTE(x) __attribute__((x))
#else
#define OSTROVANE_THREAD_ATTRIBUTE(x)
#endif

#define CAPABILITY(x) OSTROVANE_THREAD_ATTRIBUTE(capability(x))
#define SCOPED_CAPABILITY OSTROVANE_THREAD_ATTRIBUTE(scoped_lockable)
#define GUARDED_BY(x) OSTROVANE_THREAD_ATTRIBUTE(guarded_by(x))
#define PT_GUARDED_BY(x) OSTROVANE_THREAD_ATTRIBUTE(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) OSTROVANE_THREAD_ATTRIBUTE(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) OSTROVANE_THREAD_ATTRIBUTE(acquired_after(__VA_ARGS__))
#define REQUIRES(...) OSTROVANE_THREAD_ATTRIBUTE(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) OSTROVANE_THREAD_ATTRIBUTE(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) OSTROVANE_THREAD_ATTRIBUTE(acquire_capability(__VA_ARGS__))
#define RELEASE(...) OSTROVANE_THREAD_ATTRIBUTE(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) OSTROVANE_THREAD_ATTRIBUTE(try_acquire_capability(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) OSTROVANE_THREAD_ATTRIBUTE(assert_capability(x))
#define RETURN_CAPABILITY(x) OSTROVANE_THREAD_ATTRIBUTE(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS OSTROVANE_THREAD_ATTRIBUTE(no_thread_safety_analysis)

namespace ostrovane::util {

// A std::mutex the analysis knows as a lock.
class CAPABILITY("mutex") Mutex {
  public:
    Mutex() = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void lock() ACQUIRE() { mutex_.lock(); }
    void unlock() RELEASE() { mutex_.unlock(); }
    bool try_lock() TRY_ACQUIRE(true) { return mutex_.try_lock(); }

    // The wrapped mutex, for MutexLock's waits on a std::condition_variable.
    std::mutex& native() { return mutex_; }

  private:
    std::mutex mutex_;
};

// Holds a Mutex for its scope. wait() and its timed forms release the mutex
// while they wait on a std::condition_variable and hold it again when they
// return, as std::condition_variable does with a std::unique_lock; to the
// analysis the mutex stays held throughout.
class SCOPED_CAPABILITY MutexLock {
  public:
    explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : lock_(mutex.native()) {}
    ~MutexLock() RELEASE() = default;
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

    // Lets go of the mutex before the scope ends, and takes it again.
    void unlock() RELEASE() { lock_.unlock(); }
    void lock() ACQUIRE() { lock_.lock(); }

    void wait(std::condition_variable& cv) { cv.wait(lock_); }
    template <typename Predicate>
    void wait(std::condition_variable& cv, Predicate pred) {
        cv.wait(lock_, std::move(pred));
    }
    template <typename Rep, typename Period>
    std::cv_status waitFor(std::condition_variable& cv,
                           const std::chrono::duration<Rep, Period>& timeout) {
        return cv.wait_for(lock_, timeout);
    }
    template <typename Rep, typename Period, typename Predicate>
    bool waitFor(std::condition_variable& cv, const std::chrono::duration<Rep, Period>& timeout,
                 Predicate pred) {
        return cv.wait_for(lock_, timeout, std::move(pred));
    }
    template <typename Clock, typename Duration>
    std::cv_status waitUntil(std::condition_variable& cv,
                             const std::chrono::time_point<Clock, Duration>& deadline) {
        return cv.wait_until(lock_, deadline);
    }
    template <typename Clock, typename Duration, typename Predicate>
    bool waitUntil(std::condition_variable& cv,
                   const std::chrono::time_point<Clock, Duration>& deadline, Predicate pred) {
        return cv.wait_until(lock_, deadline, std::move(pred));
    }

  private:
    std::unique_lock<std::mutex> lock_;
};

}  // namespace ostrovane::util
