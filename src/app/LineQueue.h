#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include "util/ThreadAnnotations.h"

namespace ostrovane::app {

// One line of input as the reader saw it. Lines above the reader's limit are
// not kept whole: `text` holds their beginning and `length` their true size.
struct InputLine {
    std::string text;
    std::size_t length = 0;
    bool truncated = false;
};

// The unbounded queue between the input reader and the command loop.
class LineQueue {
  public:
    void push(InputLine line) {
        {
            util::MutexLock lock(mutex_);
            if (_finished)
                return;
            _lines.push_back(std::move(line));
        }
        ready_.notify_one();
    }

    // No more lines will come: pop() drains what is queued, then yields nothing.
    void finish() {
        {
            util::MutexLock lock(mutex_);
            _finished = true;
        }
        ready_.notify_all();
    }

    // Stop at once: pop() yields nothing, queued lines are dropped.
    void close() {
        {
            util::MutexLock lock(mutex_);
            _finished = true;
            _lines.clear();
        }
        ready_.notify_all();
    }

    // Drops what is queued and makes `line` the last one pop() yields, also
    // after finish().
    void replaceWithLast(InputLine line) {
        {
            util::MutexLock lock(mutex_);
            _finished = true;
            _lines.clear();
            _lines.push_back(std::move(line));
        }
        ready_.notify_all();
    }

    std::optional<InputLine> pop() {
        util::MutexLock lock(mutex_);
        lock.wait(ready_, [this]() REQUIRES(mutex_) { return _finished || !_lines.empty(); });
        if (_lines.empty())
            return std::nullopt;
        InputLine line = std::move(_lines.front());
        _lines.pop_front();
        return line;
    }

  private:
    util::Mutex mutex_;
    std::condition_variable ready_;
    std::deque<InputLine> _lines GUARDED_BY(mutex_);
    bool _finished GUARDED_BY(mutex_) = false;
};

}  // namespace ostrovane::app
