#pragma once

#include <gmock/gmock.h>

#include <future>

#include "contract/ProviderHarness.h"
#include "dispatch/ManualClock.h"
#include "platform/sim/SimWorld.h"
#include "protocol/TextChannel.h"
#include "sources/mic/MicrophoneSource.h"
#include "support/JsonRecords.h"
#include "support/MemoryChannels.h"

namespace ostrovane::sources::mic::testing {

using test::HoldsFields;
using test::linesStartingWith;
using ::testing::ElementsAre;

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
            received.add({chunk.begin(), chunk.end()});
        });
        return made;
    }

    // Asks `s` to start; its outcome, once it comes.
    static std::future<platform::MaybeError> beginStart(MicrophoneSource& s) {
        auto done = std::make_shared<std::promise<platform::MaybeError>>();
        s.start([done](platform::MaybeError e) { done->set_value(std::move(e)); });
        return done->get_future();
    }

    // Starts `source` (made on first use) and returns its outcome.
    platform::MaybeError startSource() {
        if (!source)
            source = makeSource();
        auto outcome = beginStart(*source);
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

    // The audio delivered so far, in one piece, and the number of chunks.
    std::vector<std::uint8_t> audio() const {
        std::vector<std::uint8_t> all;
        for (const auto& chunk : received.values())
            all.insert(all.end(), chunk.begin(), chunk.end());
        return all;
    }
    std::size_t chunks() const { return received.size(); }

    dispatch::ManualClock clock;
    platform::sim::SimWorld world;
    test::MemoryChannels out;
    protocol::TextChannel& text = out.text();
    std::shared_ptr<MicrophoneSource> source;
    contract::Recorder<std::vector<std::uint8_t>> received;
};

}  // namespace ostrovane::sources::mic::testing
