#include <gmock/gmock.h>

#include "integration/system/SystemAudioFixture.h"
#include "protocol/FrameWriter.h"
#include "streaming/SimpleAudioStreamer.h"

namespace ostrovane::sources::system::testing {
namespace {

using platform::sim::SimOutcome;

// The streamer with this source as its default system source and no
// microphone, as the app wires it (a confirmed start is followed through the
// app's START_STREAMING).
class StreamerIntegrationTest : public SystemAudioFixture {
  protected:
    std::string startStreamer() {
        streamer = streaming::SimpleAudioStreamer::create(streaming::StreamerEnvironment{
            text, frames, clock, nullptr, [this]() -> std::shared_ptr<streaming::AudioSource> {
                return SystemAudioSource::create(
                    {screen, world.platform().applications, text, clock});
            }});
        streamer->start([this](const platform::MaybeError& result) {
            acks.add(result ? result->localizedDescription() : "ok");
        });
        clock.settle();
        auto values = acks.values();
        return values.empty() ? "none" : values.back();
    }

    void TearDown() override {
        if (streamer) {
            streamer->stop(nullptr);
            clock.settle();
            streamer.reset();
        }
    }

    protocol::FrameWriter& frames = out.frameWriter();
    contract::Recorder<std::string> acks;
    std::shared_ptr<streaming::SimpleAudioStreamer> streamer;
};

TEST_F(StreamerIntegrationTest, AStartThatIsNeverConfirmedIsCleanedUpByTheWatchdog) {
    sim.setStartOutcome(SimOutcome::never());
    EXPECT_EQ(startStreamer(), "none");
    advanceTo(4.0);
    EXPECT_THAT(acks.values(), ::testing::ElementsAre("system_audio_negotiation_timeout"));
    EXPECT_TRUE(sim.streams().empty());  // the unconfirmed stream was let go
    EXPECT_FALSE(streamer->systemSource()->isActive());
    EXPECT_EQ(clock.pendingTimers(), 0u);  // no watchdog left ticking
}

}  // namespace
}  // namespace ostrovane::sources::system::testing
