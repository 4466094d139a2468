#pragma once

#include <gmock/gmock.h>

#include <memory>
#include <string>
#include <vector>

#include "contract/ProviderHarness.h"
#include "dispatch/ManualClock.h"
#include "platform/sim/SimCaptureStream.h"
#include "platform/sim/SimWorld.h"
#include "protocol/TextChannel.h"
#include "sources/system/SystemAudioSource.h"
#include "support/MemoryChannels.h"

namespace ostrovane::sources::system::testing {

using test::linesStartingWith;
using ::testing::ElementsAre;

// A system source on a simulated machine (one display, a 440 Hz tone as the
// system mix) with a manual clock; the error channel is read back line by line.
class SystemAudioFixture : public ::testing::Test {
  protected:
    SystemAudioFixture() {
        world.addTypicalMachine();
        source = SystemAudioSource::create({screen, world.platform().applications, text, clock});
        source->setOnAudioData([this](std::span<const std::uint8_t> chunk) {
            chunks.add(std::vector<std::uint8_t>(chunk.begin(), chunk.end()));
        });
        source->setOnCaptureOutcome([this](platform::MaybeError error) {
            outcomes.add(error ? error->localizedDescription() : "ok");
        });
    }

    ~SystemAudioFixture() override {
        if (source) {
            source->stop(nullptr);
            clock.settle();
            source.reset();
        }
        clock.settle();
    }

    // Starts the source and lets the service answer. Returns the start's
    // error text, or "ok"; the error itself is kept in `startError`.
    std::string start() {
        contract::Recorder<platform::MaybeError> result;
        source->start([&result](platform::MaybeError error) { result.add(std::move(error)); });
        clock.settle();
        const auto values = result.values();
        if (values.size() != 1)
            return "start completions: " + std::to_string(values.size());
        startError = values[0];
        return startError ? startError->localizedDescription() : "ok";
    }

    // Not capturing: inactive, with neither a stream nor a watchdog.
    bool idle() const {
        const auto status = source->status();
        return !source->isActive() && !status.hasStream && !status.watchdogRunning &&
               sim.capturingStreams() == 0;
    }

    bool stop() {
        contract::Recorder<int> done;
        source->stop([&done] { done.add(1); });
        clock.settle();
        return done.size() == 1;
    }

    // Runs the clock up to `uptimeSeconds`.
    void advanceTo(double uptimeSeconds) {
        const auto target = dispatch::seconds(uptimeSeconds);
        if (target > clock.uptime())
            clock.advance(target - clock.uptime());
        clock.settle();
    }

    // The lines written since the previous call, once everything has settled.
    std::vector<std::string> newLines() {
        clock.settle();
        return out.newLines();
    }

    // The lines a parent reads ("EVENT:", "CMD_RESPONSE:") since the previous
    // call, once the clock has run up to `uptimeSeconds`; the source's log
    // lines are left out.
    std::vector<std::string> events(double uptimeSeconds = 0) {
        advanceTo(uptimeSeconds);
        std::vector<std::string> kept;
        for (auto& line : newLines()) {
            if (line.starts_with("EVENT:") || line.starts_with("CMD_RESPONSE:"))
                kept.push_back(std::move(line));
        }
        return kept;
    }

    dispatch::ManualClock clock;
    platform::sim::SimWorld world{clock};
    platform::sim::SimScreen& sim = world.screen();
    std::shared_ptr<platform::ScreenCapture> screen = world.platform().screenCapture;
    test::MemoryChannels out;
    protocol::TextChannel& text = out.text();
    contract::Recorder<std::vector<std::uint8_t>> chunks;
    contract::Recorder<std::string> outcomes;
    std::shared_ptr<SystemAudioSource> source;
    platform::MaybeError startError;
};

}  // namespace ostrovane::sources::system::testing
