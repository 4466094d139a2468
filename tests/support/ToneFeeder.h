#pragma once

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include "servers/PrivatePulseServer.h"

namespace ostrovane::test {

// The frequency of the tone in `samples` (at `rate`), from its zero crossings.
inline double toneHertz(const std::vector<std::int16_t>& samples, int rate = 48000) {
    std::size_t crossings = 0;
    for (std::size_t i = 1; i < samples.size(); ++i)
        crossings += (samples[i - 1] < 0) != (samples[i] < 0);
    return samples.empty() ? 0 : crossings / 2.0 / (double(samples.size()) / rate);
}

// Feeds a pipe source of a private sound server a sine tone in real time, 10 ms
// at a time and 100 ms ahead: the tone on the first channel, silence on the
// others. PipeWire's pipe source plays silence for a period it finds the pipe
// short of, so a feeder that only kept pace lost the tone whenever a loaded
// machine woke it late. Never blocks: the source stops reading once nobody
// records it, and what does not fit then is dropped.
class ToneFeeder {
  public:
    ToneFeeder(const PipeSource& source, double hertz, double amplitude = 0.5)
        : fd_(::open(source.fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)),
          rate_(source.rate),
          channels_(source.channels),
          hertz_(hertz),
          amplitude_(amplitude) {
        if (fd_ >= 0)
            thread_ = std::thread([this] { run(); });
    }
    ~ToneFeeder() {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        if (fd_ >= 0)
            ::close(fd_);
    }
    ToneFeeder(const ToneFeeder&) = delete;
    ToneFeeder& operator=(const ToneFeeder&) = delete;

    bool ok() const { return fd_ >= 0; }

  private:
    void run() {
        const std::size_t frames = static_cast<std::size_t>(rate_ / 100);
        std::vector<std::int16_t> chunk(frames * static_cast<std::size_t>(channels_));
        auto next = std::chrono::steady_clock::now();
        for (std::int64_t n = 0; !stop_;) {
            for (std::size_t i = 0; i < frames; ++i, ++n)
                chunk[i * static_cast<std::size_t>(channels_)] = static_cast<std::int16_t>(
                    32767 * amplitude_ *
                    std::sin(2 * std::numbers::pi * hertz_ * double(n) / rate_));
            if (::write(fd_, chunk.data(), chunk.size() * 2) < 0 && errno != EAGAIN)
                return;
            next += std::chrono::milliseconds(10);
            std::this_thread::sleep_until(next - std::chrono::milliseconds(100));
        }
    }

    int fd_;
    int rate_;
    int channels_;
    double hertz_;
    double amplitude_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace ostrovane::test
