// The helper binary against a private sound server whose microphones come and
// go as on a desktop: the default microphone unplugged with another one
// present, the only microphone unplugged and plugged back, and many starts in
// a row. What is checked is what a parent sees: the microphone frames (when
// they arrive, the pitch of the tone in them) and the text lines.
#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <map>
#include <mutex>
#include <thread>

#include <nlohmann/json.hpp>

#include "protocol/FrameReader.h"
#include "servers/PrivatePulseServer.h"
#include "support/HelperProcess.h"

namespace ostrovane::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct MicFrame {
    Clock::time_point arrival;
    std::vector<std::int16_t> left;  // the first channel's samples
};

// Watches the helper's standard output and keeps each microphone frame with
// the time it was seen arriving (20 ms resolution).
class MicFrames {
  public:
    explicit MicFrames(HelperProcess& helper) : thread_([this, &helper] { run(helper); }) {}
    ~MicFrames() {
        stop_ = true;
        thread_.join();
    }

    std::vector<MicFrame> since(Clock::time_point from) const {
        std::lock_guard lock(mutex_);
        std::vector<MicFrame> out;
        for (const auto& f : _frames) {
            if (f.arrival >= from)
                out.push_back(f);
        }
        return out;
    }

    // Waits until the last `count` frames after `from` carry a tone near
    // `hertz`.
    bool waitForTone(Clock::time_point from, double hertz, std::size_t count = 10,
                     std::chrono::seconds limit = 8s) const {
        const auto deadline = Clock::now() + limit;
        while (Clock::now() < deadline) {
            auto frames = since(from);
            if (frames.size() >= count) {
                frames.erase(frames.begin(), frames.end() - static_cast<long>(count));
                if (std::abs(frequency(frames) - hertz) < hertz * 0.05)
                    return true;
            }
            std::this_thread::sleep_for(50ms);
        }
        return false;
    }

    // Longest time without a microphone frame between `from` and now.
    double longestGap(Clock::time_point from) const {
        auto previous = from;
        double longest = 0;
        for (const auto& f : since(from)) {
            longest =
                std::max(longest, std::chrono::duration<double>(f.arrival - previous).count());
            previous = f.arrival;
        }
        return std::max(longest, std::chrono::duration<double>(Clock::now() - previous).count());
    }

    // The tone's frequency from the zero crossings of the first channel.
    static double frequency(const std::vector<MicFrame>& frames) {
        std::size_t samples = 0, crossings = 0;
        std::int16_t last = 0;
        for (const auto& f : frames) {
            for (std::int16_t s : f.left) {
                if ((s >= 0) != (last >= 0))
                    ++crossings;
                last = s;
            }
            samples += f.left.size();
        }
        return samples ? crossings / 2.0 / (double(samples) / 48000.0) : 0;
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
            protocol::Frame frame;
            while (reader.next(frame) == protocol::ReadStatus::frame) {
                if (frame.isVideo() || frame.type != protocol::AudioProtocol::FrameType::mic)
                    continue;
                MicFrame f{now, {}};
                for (std::size_t i = 0; i + 3 < frame.payload.size(); i += 4)
                    f.left.push_back(
                        static_cast<std::int16_t>(frame.payload[i] | (frame.payload[i + 1] << 8)));
                std::lock_guard lock(mutex_);
                _frames.push_back(std::move(f));
            }
            std::this_thread::sleep_for(20ms);
        }
    }

    mutable std::mutex mutex_;
    std::vector<MicFrame> _frames;  // guarded by mutex_
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Feeds a FIFO microphone in real time with a sine tone at half scale, 10 ms
// at a time. Never blocks: what the source does not take is dropped.
class ToneFeeder {
  public:
    ToneFeeder(const PipeSource& source, int hertz)
        : fd_(::open(source.fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)), hertz_(hertz) {
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
    bool ok() const { return fd_ >= 0; }

  private:
    void run() {
        std::vector<std::int16_t> chunk(480);
        auto next = Clock::now();
        for (std::int64_t n = 0; !stop_;) {
            for (auto& sample : chunk)
                sample = static_cast<std::int16_t>(
                    16384 * std::sin(2 * M_PI * hertz_ * double(n++) / 48000));
            if (::write(fd_, chunk.data(), chunk.size() * 2) < 0 && errno != EAGAIN)
                return;
            next += 10ms;
            std::this_thread::sleep_until(next);
        }
    }

    int fd_;
    int hertz_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

std::size_t captureStarts(const std::vector<std::string>& lines) {
    return static_cast<std::size_t>(std::count_if(lines.begin(), lines.end(), [](const auto& l) {
        return l.starts_with("DEVICE_DIAGNOSTIC:") &&
               nlohmann::json::parse(l.substr(18)).value("event", "") == "capture_start";
    }));
}

bool hasLineWith(const std::vector<std::string>& lines, const std::string& text) {
    return std::any_of(lines.begin(), lines.end(),
                       [&](const auto& l) { return l.find(text) != std::string::npos; });
}

std::string joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& line : lines)
        text += line + "\n";
    return text;
}

class MicrophoneDesktop : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(pulse.ready()) << pulse.failure();
        ::setenv("PULSE_SERVER", pulse.server().c_str(), 1);
    }

    // A microphone playing a tone; the first one plugged becomes the default.
    void plug(const std::string& name, int hertz) {
        auto source = pulse.addPipeSource(name, name);
        ASSERT_TRUE(source);
        auto& mic = mics_[name];
        mic.module = source->module;
        mic.tone = std::make_unique<ToneFeeder>(*source, hertz);
        ASSERT_TRUE(mic.tone->ok());
        if (mics_.size() == 1) {
            ASSERT_TRUE(pulse.pactl({"set-default-source", name}));
        }
    }
    void unplug(const std::string& name) {
        auto it = mics_.find(name);
        ASSERT_NE(it, mics_.end());
        it->second.tone.reset();
        ASSERT_TRUE(pulse.pactl({"unload-module", it->second.module}));
        mics_.erase(it);
    }

    void startStreaming() {
        helper = std::make_unique<HelperProcess>(OSTROVANE_BINARY);
        frames = std::make_unique<MicFrames>(*helper);
        helper->sendLine("START_STREAMING");
        ASSERT_TRUE(helper->errors().waitForLine("CMD_RESPONSE:STREAMING:started"));
    }
    void stop() {
        helper->sendLine("STOP");
        EXPECT_EQ(helper->waitForExit(), 0);
        frames.reset();
    }
    std::vector<std::string> lines() { return helper->errors().lines(); }

    PrivatePulseServer pulse;
    std::unique_ptr<HelperProcess> helper;
    std::unique_ptr<MicFrames> frames;

  private:
    struct Mic {
        std::string module;
        std::unique_ptr<ToneFeeder> tone;
    };
    std::map<std::string, Mic> mics_;
};

TEST_F(MicrophoneDesktop, UnpluggingTheDefaultMicrophoneMovesCaptureToTheOther) {
    plug("headset_mic", 440);
    plug("laptop_mic", 880);
    startStreaming();
    ASSERT_TRUE(frames->waitForTone(Clock::now() - 1h, 440)) << joined(lines());

    const auto unplugged = Clock::now();
    unplug("headset_mic");
    EXPECT_TRUE(frames->waitForTone(unplugged, 880)) << joined(lines());
    EXPECT_LT(frames->longestGap(unplugged), 0.5);
    EXPECT_FALSE(hasLineWith(lines(), "RECOVERY_FAILED:"));
    EXPECT_FALSE(hasLineWith(lines(), "CRITICAL"));
    stop();
}

TEST_F(MicrophoneDesktop, TheOnlyMicrophoneUnpluggedIsReportedAndCapturedAgainOncePluggedBack) {
    plug("usb_mic", 440);
    startStreaming();
    ASSERT_TRUE(frames->waitForTone(Clock::now() - 1h, 440)) << joined(lines());

    unplug("usb_mic");
    EXPECT_TRUE(helper->errors().waitForLine("RECOVERY_FAILED:microphone_device_unavailable:1"))
        << joined(lines());
    const auto plugged = Clock::now();
    plug("usb_mic", 440);
    EXPECT_TRUE(frames->waitForTone(plugged, 440)) << joined(lines());
    EXPECT_EQ(captureStarts(lines()), 2u) << joined(lines());
    stop();
}

// The first listing of the server is what the helper starts from: no start
// sees a default-device change that did not happen.
TEST_F(MicrophoneDesktop, EveryStartCapturesOnceWithoutAFalseDeviceChange) {
    plug("desk_mic", 440);
    for (int launch = 1; launch <= 10; ++launch) {
        SCOPED_TRACE("launch " + std::to_string(launch));
        startStreaming();
        ASSERT_TRUE(frames->waitForTone(Clock::now() - 1h, 440)) << joined(lines());
        // Past the 0.3 s a device change waits before the microphone follows.
        std::this_thread::sleep_for(500ms);
        const auto seen = lines();
        stop();
        EXPECT_EQ(captureStarts(seen), 1u) << joined(seen);
        EXPECT_FALSE(hasLineWith(seen, "Default device changed")) << joined(seen);
    }
}

}  // namespace
}  // namespace ostrovane::test
