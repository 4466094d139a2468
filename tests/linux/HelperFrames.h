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
#include "support/ToneFeeder.h"
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

    // Waits until the last `last` frames of `type` after the `from`th carry
    // a tone within 5 % of `hertz` (by the zero crossings of their first channel).
    bool waitForTone(Type type, double hertz, std::size_t from = 0, std::size_t last = 10,
                     std::chrono::milliseconds limit = std::chrono::seconds(8)) const {
        const auto heard = [&] {
            const auto frames = of(type, from);
            std::vector<std::int16_t> left;
            for (auto f = frames.end() - static_cast<long>(std::min(last, frames.size()));
                 f != frames.end(); ++f)
                left.insert(left.end(), f->left.begin(), f->left.end());
            return frames.size() >= last && std::abs(toneHertz(left) - hertz) < hertz * 0.05;
        };
        return waitUntil(heard, limit, std::chrono::milliseconds(50));
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
        std::vector<Clock::time_point> since;
        for (const auto& f : of(type))
            if (f.at >= from)
                since.push_back(f.at);
        const double span =
            since.empty() ? 0 : std::chrono::duration<double>(since.back() - since.front()).count();
        return since.size() < 2 ? 0 : span - (since.size() - 1) * 0.02;
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
