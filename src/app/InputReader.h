#pragma once

#include <cstddef>
#include <thread>

#include "app/LineQueue.h"
#include "util/UniqueFd.h"

namespace ostrovane::app {

// The standard-input reader: one thread that reads lines from `fd` and appends
// them to the queue, stripping "\n" or "\r\n" and repairing ill-formed UTF-8.
// A last line without a line feed still counts. End of input finishes the
// queue. Lines longer than `maxLineBytes` are consumed to their end but kept
// only as a short beginning, so one endless line cannot exhaust memory.
//
// Destroying the reader wakes a blocked read and joins the thread; the
// descriptor itself belongs to the caller.
class InputReader {
  public:
    static constexpr std::size_t kMaxLineBytes = 1 << 20;

    InputReader(int fd, LineQueue& queue, std::size_t maxLineBytes = kMaxLineBytes);
    ~InputReader();

    InputReader(const InputReader&) = delete;
    InputReader& operator=(const InputReader&) = delete;

  private:
    void run();

    const int fd_;
    LineQueue& queue_;
    const std::size_t maxLineBytes_;
    UniqueFd wakeRead_;
    UniqueFd wakeWrite_;
    std::thread thread_;
};

}  // namespace ostrovane::app
