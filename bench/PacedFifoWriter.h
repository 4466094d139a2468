#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "servers/PrivatePulseServer.h"

namespace ostrovane::bench {

// Feeds a FIFO-fed source (test::PipeSource, signed 16-bit) in real time from
// a thread of its own, as a microphone would deliver: a quiet noise floor (a
// real input is never digital zero) in small chunks, and on request a click.
// At most `maxAhead` of audio ever waits in the FIFO, so the FIFO itself adds
// no delay; a chunk whose time comes while the FIFO is that full (nobody
// records the source) is dropped, and the timeline goes on.
class PacedFifoWriter {
  public:
    using Clock = std::chrono::steady_clock;

    struct Options {
        std::chrono::milliseconds chunk{5};
        std::chrono::milliseconds maxAhead{10};
        std::chrono::milliseconds click{10};  // a multiple of `chunk`
        int noiseAmplitude = 16;              // of 32767
    };

    explicit PacedFifoWriter(const test::PipeSource& source) : PacedFifoWriter(source, Options{}) {}
    PacedFifoWriter(const test::PipeSource& source, Options options);
    ~PacedFifoWriter();

    PacedFifoWriter(const PacedFifoWriter&) = delete;
    PacedFifoWriter& operator=(const PacedFifoWriter&) = delete;

    // Whether the FIFO was opened and is being fed; why not otherwise.
    bool running() const { return failure().empty(); }
    std::string failure() const;

    // Writes a full-scale click (a 1 kHz square wave) as the next chunks and
    // returns the time just before its first samples went into the FIFO;
    // nothing when that did not happen within `limit`.
    std::optional<Clock::time_point> click(
        std::chrono::milliseconds limit = std::chrono::seconds(1));

    std::uint64_t chunksWritten() const { return written_; }
    std::uint64_t chunksDropped() const { return dropped_; }
    // The most audio found waiting in the FIFO before a write.
    std::chrono::microseconds mostBuffered() const;

  private:
    void run();
    bool writeChunk(const std::vector<std::int16_t>& samples);
    void fail(std::string why);
    std::size_t bufferedBytes() const;

    Options options_;
    int channels_;
    int rate_;
    std::size_t chunkFrames_;
    int fd_ = -1;

    std::vector<std::int16_t> noise_;
    std::vector<std::int16_t> clickChunk_;
    std::uint32_t random_ = 0x2545F491;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::string failure_;
    bool stopping_ = false;
    bool clickRequested_ = false;
    std::optional<Clock::time_point> clickWritten_;

    std::atomic<std::uint64_t> written_{0};
    std::atomic<std::uint64_t> dropped_{0};
    std::atomic<std::size_t> mostBufferedBytes_{0};
    std::thread thread_;
};

}  // namespace ostrovane::bench
