#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "contract/ProviderHarness.h"
#include "dispatch/ManualClock.h"
#include "dispatch/SerialQueue.h"
#include "platform/sim/SimWorld.h"

namespace ostrovane::testing_support {

// A bare simulated world on a manual clock, with a queue for receiving.
class SimFixture : public testing::Test {
  protected:
    SimFixture() : world(clock), queue(std::make_unique<dispatch::SerialQueue>(clock, "test")) {}
    ~SimFixture() override { clock.settle(); }

    // A running session on `uid` whose buffers are recorded.
    std::shared_ptr<platform::AudioCaptureSession> capture(
        const std::string& uid,
        contract::Recorder<std::shared_ptr<const platform::SampleBuffer>>& into) {
        auto& audio = world.audio();
        auto session = audio.makeSession();
        auto input = audio.makeInput({uid, uid});
        EXPECT_TRUE(input.ok());
        if (!input.ok())
            return session;
        session->addInput(input.value());
        auto output = audio.makeAudioDataOutput();
        output->setSampleBufferHandler([&into](auto b) { into.add(std::move(b)); }, queue->ref());
        session->addOutput(output);
        session->startRunning();
        return session;
    }

    dispatch::ManualClock clock;
    platform::sim::SimWorld world;
    std::unique_ptr<dispatch::SerialQueue> queue;
};

}  // namespace ostrovane::testing_support
