#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "protocol/FrameReader.h"
#include "support/HelperProcess.h"
#include "support/WaitUntil.h"

namespace ostrovane::test {

// The audio frames a helper binary writes, as a parent receives them: each
// with the time it was seen arriving (20 ms resolution), its level and the
// samples of its first channel. Read on a thread of its own so that arrival
// times stay right while the test talks to the sound server.
class HelperFrames {
  public:
    using Clock = std::chrono::steady_clock;
    using Type = protocol::AudioProtocol::FrameType;
    struct Arrival {
        Clock::time_point at;
        Type type;
        double level;                    // 0…1
        std::vector<std::int16_t> left;  // the first channel's samples
    };

    explicit HelperFrames(HelperProcess& helper) : thread_([this, &helper] { run(helper); }) {}
    ~HelperFrames() {
        stop_ = true;
        thread_.join();
    }
    HelperFrames(const HelperFrames&) = delete;
    HelperFrames& operator=(const HelperFrames&) = delete;

    // The frames of `type` seen so far, from the `from`th on.
    std::vector<Arrival> of(Type type, std::size_t from = 0) const {
        std::lock_guard lock(mutex_);
        std::vector<Arrival> out;
        std::size_t seen = 0;
        for (const auto& f : _arrivals)
            if (f.type == type && seen++ >= from)
                out.push_back(f);
        return out;
    }
    std::size_t count(Type type) const { return of(type).size(); }

    // Waits until `count` frames of `type` came in all.
    bool waitForCount(Type type, std::size_t count, std::chrono::milliseconds limit) const {
        return waitUntil([&] { return this->count(type) >= count; }, limit);
    }

    // The tone's frequency in the last `last` frames of `type` (from the
    // zero crossings of their first channel); 0 with fewer frames.
    double frequency(Type type, std::size_t last, std::size_t from = 0) const {
        auto frames = of(type, from);
        if (frames.size() < last)
            return 0;
        std::size_t samples = 0, crossings = 0;
        std::int16_t previous = 0;
        for (auto f = frames.end() - static_cast<long>(last); f != frames.end(); ++f) {
            for (std::int16_t s : f->left) {
                crossings += (s >= 0) != (previous >= 0);
                previous = s;
            }
            samples += f->left.size();
        }
        return samples ? crossings / 2.0 / (double(samples) / 48000.0) : 0;
    }
    // Waits until the last `last` frames of `type` after the `from`th carry
    // a tone within 5 % of `hertz`.
    bool waitForTone(Type type, double hertz, std::size_t from = 0, std::size_t last = 10,
                     std::chrono::milliseconds limit = std::chrono::seconds(8)) const {
        return waitUntil(
            [&] { return std::abs(frequency(type, last, from) - hertz) < hertz * 0.05; }, limit,
            std::chrono::milliseconds(50));
    }

    // Longest time without a frame of `type` between `from` and now.
    double longestGap(Type type, Clock::time_point from) const {
        auto previous = from;
        double longest = 0;
        for (const auto& f : of(type)) {
            if (f.at < from)
                continue;
            longest = std::max(longest, std::chrono::duration<double>(f.at - previous).count());
            previous = f.at;
        }
        return std::max(longest, std::chrono::duration<double>(Clock::now() - previous).count());
    }

    // Audio missing from the frames of `type` that arrived since `from`: the
    // time between the first and the last of them less the 20 ms each
    // carries. Unlike arrival gaps, it does not count the helper's writing
    // in batches (every 100 ms) or a late pass that makes up for itself.
    double lostSeconds(Type type, Clock::time_point from) const {
        std::size_t count = 0;
        Clock::time_point first{}, last{};
        for (const auto& f : of(type)) {
            if (f.at < from)
                continue;
            first = count++ ? first : f.at;
            last = f.at;
        }
        return count < 2 ? 0
                         : std::chrono::duration<double>(last - first).count() - (count - 1) * 0.02;
    }

    // Mean level of the frames of `type` from the `from`th on.
    double meanLevel(Type type, std::size_t from) const {
        const auto frames = of(type, from);
        double sum = 0;
        for (const auto& f : frames)
            sum += f.level;
        return frames.empty() ? 0 : sum / frames.size();
    }

  private:
    void run(HelperProcess& helper) {
        protocol::FrameReader reader;
        std::size_t fed = 0;
        while (!stop_) {
            const auto bytes = helper.outputBytes();
            const auto now = Clock::now();
            reader.feed(std::span<const std::uint8_t>(bytes).subspan(fed));
            fed = bytes.size();
            for (protocol::Frame frame; reader.next(frame) == protocol::ReadStatus::frame;) {
                if (frame.isVideo())
                    continue;
                Arrival f{now, frame.type, frame.audio().level / 65535.0, {}};
                for (std::size_t i = 0; i + 3 < frame.payload.size(); i += 4)
                    f.left.push_back(
                        static_cast<std::int16_t>(frame.payload[i] | (frame.payload[i + 1] << 8)));
                std::lock_guard lock(mutex_);
                _arrivals.push_back(std::move(f));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    mutable std::mutex mutex_;
    std::vector<Arrival> _arrivals;  // guarded by mutex_
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace ostrovane::test
