#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "dispatch/ManualClock.h"
#include "platform/sim/SimWorld.h"
#include "protocol/TextChannel.h"
#include "sources/mic/MicrophoneSource.h"
#include "support/MemoryChannels.h"

namespace ostrovane::sources::mic::testing {

// A simulated machine on a manual clock, a microphone source on it, and its
// text channel read back line by line.
class MicFixture : public ::testing::Test {
  protected:
    MicFixture() : world(clock) {}

    ~MicFixture() override {
        source.reset();
        clock.settle();
    }

    void addDevice(platform::sim::SimDeviceSpec spec, bool makeDefault = false) {
        const std::string uid = spec.uid;
        world.audio().addDevice(std::move(spec));
        if (makeDefault)
            world.audio().setDefaultInput(uid);
        clock.settle();
    }

    std::shared_ptr<MicrophoneSource> makeSource() {
        const platform::Platform p = world.platform();
        auto made = MicrophoneSource::create({p.audioCapture, p.audioHardware, text, clock});
        made->setOnAudioData([this](std::span<const std::uint8_t> chunk) {
            std::lock_guard lock(audioMutex_);
            audio_.insert(audio_.end(), chunk.begin(), chunk.end());
            ++chunks_;
        });
        return made;
    }

    // Starts `source` (made on first use) and returns its outcome.
    platform::MaybeError startSource() {
        if (!source)
            source = makeSource();
        auto done = std::make_shared<std::promise<platform::MaybeError>>();
        auto outcome = done->get_future();
        source->start([done](platform::MaybeError e) { done->set_value(std::move(e)); });
        clock.settle();
        EXPECT_EQ(outcome.wait_for(std::chrono::seconds(5)), std::future_status::ready);
        return outcome.get();
    }

    void stopSource() {
        std::promise<void> done;
        auto finished = done.get_future();
        source->stop([&done] { done.set_value(); });
        clock.settle();
        EXPECT_EQ(finished.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    }

    std::vector<std::string> newLines() { return out.newLines(); }

    static std::size_t countPrefix(const std::vector<std::string>& lines,
                                   const std::string& prefix) {
        return static_cast<std::size_t>(std::count_if(
            lines.begin(), lines.end(), [&](const auto& l) { return l.starts_with(prefix); }));
    }
    // The JSON objects of the "DEVICE_DIAGNOSTIC:" lines among `lines`.
    static std::vector<nlohmann::json> diagnostics(const std::vector<std::string>& lines) {
        std::vector<nlohmann::json> out;
        for (const auto& l : lines) {
            if (l.starts_with("DEVICE_DIAGNOSTIC:"))
                out.push_back(nlohmann::json::parse(l.substr(18)));
        }
        return out;
    }

    std::vector<std::uint8_t> audio() {
        std::lock_guard lock(audioMutex_);
        return audio_;
    }
    std::size_t chunks() {
        std::lock_guard lock(audioMutex_);
        return chunks_;
    }

    // Faults with one flag set.
    static platform::sim::SimDeviceFaults faults(bool platform::sim::SimDeviceFaults::*flag) {
        platform::sim::SimDeviceFaults f;
        f.*flag = true;
        return f;
    }

    dispatch::ManualClock clock;
    platform::sim::SimWorld world;
    test::MemoryChannels out;
    protocol::TextChannel& text = out.text();
    std::shared_ptr<MicrophoneSource> source;

  private:
    std::mutex audioMutex_;
    std::vector<std::uint8_t> audio_;
    std::size_t chunks_ = 0;
};

}  // namespace ostrovane::sources::mic::testing
