#pragma once

#include <gtest/gtest.h>

#include <future>
#include <mutex>

#include "dispatch/ManualClock.h"
#include "platform/sim/SimWorld.h"
#include "protocol/TextChannel.h"
#include "sources/mic/MicrophoneSource.h"
#include "support/JsonRecords.h"
#include "support/MemoryChannels.h"

namespace ostrovane::sources::mic::testing {

using test::linesStartingWith;

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

    static std::vector<nlohmann::json> diagnostics(const std::vector<std::string>& lines) {
        return test::records(lines, "DEVICE_DIAGNOSTIC:");
    }

    std::vector<std::uint8_t> audio() {
        std::lock_guard lock(audioMutex_);
        return audio_;
    }
    std::size_t chunks() {
        std::lock_guard lock(audioMutex_);
        return chunks_;
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
