// The helper binary against a private sound server whose microphones come and
// go as on a desktop: many starts in a row, the default microphone unplugged
// with another one present, the only microphone unplugged and plugged back. What is checked is what
// a parent sees: the microphone frames (when they arrive, the pitch of the tone in them) and the
// text lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <map>
#include <thread>

#include <nlohmann/json.hpp>

#include "linux/HelperOnPulse.h"
#include "support/ToneFeeder.h"

namespace ostrovane::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kMic = HelperFrames::Type::mic;

std::size_t captureStarts(const std::vector<std::string>& lines) {
    return static_cast<std::size_t>(std::count_if(lines.begin(), lines.end(), [](const auto& l) {
        return l.starts_with("DEVICE_DIAGNOSTIC:") &&
               nlohmann::json::parse(l.substr(18)).value("event", "") == "capture_start";
    }));
}

class MicrophoneDesktop : public HelperOnPulse {
  protected:
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

  private:
    struct Mic {
        std::string module;
        std::unique_ptr<ToneFeeder> tone;
    };
    std::map<std::string, Mic> mics_;
};

// Ten starts in a row, then the default microphone unplugged with another
// present, then that other one, the only one left, unplugged and plugged back.
TEST_F(MicrophoneDesktop, EveryStartCapturesOnceAndCaptureFollowsUnpluggedMicrophones) {
    plug("headset_mic", 440);
    plug("laptop_mic", 880);
    // The first listing of the server is what the helper starts from: no
    // start sees a default-device change that did not happen.
    for (int launch = 1; launch <= 10; ++launch) {
        SCOPED_TRACE("launch " + std::to_string(launch));
        if (launch > 1)
            stopHelper();
        startStreaming();
        ASSERT_TRUE(frames->waitForTone(kMic, 440)) << transcript();
        // Past the 0.3 s a device change waits before the microphone follows.
        std::this_thread::sleep_for(500ms);
        EXPECT_EQ(captureStarts(lines()), 1u) << transcript();
        EXPECT_EQ(linesWith("Default device changed"), 0u) << transcript();
    }

    const auto unplugged = Clock::now();
    std::size_t from = frames->count(kMic);
    unplug("headset_mic");
    EXPECT_TRUE(frames->waitForTone(kMic, 880, from)) << transcript();
    EXPECT_LT(frames->longestGap(kMic, unplugged), 0.5);
    EXPECT_EQ(linesWith("RECOVERY_FAILED:") + linesWith("CRITICAL"), 0u);

    // Following the new default may restart capture a moment later: only
    // what comes after the report counts.
    unplug("laptop_mic");
    const auto reported =
        helper->errors().waitForLine("RECOVERY_FAILED:microphone_device_unavailable:1");
    ASSERT_TRUE(reported) << transcript();
    from = frames->count(kMic);
    plug("laptop_mic", 880);
    EXPECT_TRUE(frames->waitForTone(kMic, 880, from)) << transcript();
    const auto all = lines();
    EXPECT_EQ(captureStarts({all.begin() + static_cast<std::ptrdiff_t>(*reported), all.end()}), 1u)
        << transcript();
}

}  // namespace
}  // namespace ostrovane::test
