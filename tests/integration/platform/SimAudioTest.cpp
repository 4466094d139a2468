#include <chrono>
#include <cmath>
#include <numbers>

#include "integration/platform/SimFixture.h"
#include "platform/audio/PcmBuffer.h"
#include "platform/sim/SimSampleBuffer.h"

namespace ostrovane::testing_support {
namespace {

using platform::Scope;
using platform::StreamDescription;
using namespace platform::sim;
using Buffers = contract::Recorder<std::shared_ptr<const platform::SampleBuffer>>;

class SimAudioTest : public SimFixture {};

double toneAt(std::int64_t frame) {
    return 0.5 * std::sin(2 * std::numbers::pi * 1000 * static_cast<double>(frame) / 48000);
}

TEST_F(SimAudioTest, DeviceFormatsReachTheBuffersAsScripted) {
    auto& audio = world.audio();
    const StreamDescription planar{48000, 2, 32, true, false, true, true, true};
    const StreamDescription quad{48000, 4, 16, false, true, false, true, true};
    audio.addDevice({.uid = "planar",
                     .name = "Planar",
                     .format = planar,
                     .generator = generators::tone(1000, 0.5)});
    audio.addDevice({.uid = "quad",
                     .name = "Quad",
                     .format = quad,
                     .framesPerBuffer = 512,
                     .generator = generators::tone(1000, 0.5)});
    audio.addDevice({.uid = "opaque", .name = "Opaque", .describable = false});
    Buffers planarBuffers, quadBuffers, opaqueBuffers;
    auto s1 = capture("planar", planarBuffers);
    auto s2 = capture("quad", quadBuffers);
    auto s3 = capture("opaque", opaqueBuffers);
    clock.advanceSeconds(0.05);
    ASSERT_GT(planarBuffers.size(), 0u);
    ASSERT_GT(quadBuffers.size(), 0u);
    ASSERT_GT(opaqueBuffers.size(), 0u);

    // Non-interleaved float: one plane per channel, both carrying the tone.
    auto p = planarBuffers.values().front();
    ASSERT_EQ(p->streamDescription(), planar);
    auto format = platform::AudioFormat::fromStreamDescription(planar);
    ASSERT_TRUE(format);
    platform::PcmBuffer pcm(*format, 480);
    pcm.setFrameLength(480);
    auto list = pcm.audioBufferList();
    ASSERT_EQ(p->copyPcm(0, 480, list), 0);
    for (std::uint32_t c = 0; c < 2; ++c) {
        for (int i : {0, 17, 479})
            EXPECT_NEAR(pcm.floatChannelData(c)[i], toneAt(i), 1e-6);
    }

    // Four 16-bit channels: described, yet no format can be made; channel 0
    // is every fourth sample of the block.
    auto q = quadBuffers.values().front();
    ASSERT_EQ(q->streamDescription(), quad);
    EXPECT_FALSE(platform::AudioFormat::fromStreamDescription(quad));
    auto block = q->dataBlock();
    ASSERT_TRUE(block);
    ASSERT_EQ(block->bytes.size(), 512u * 8);
    for (int i : {0, 1, 300}) {
        EXPECT_NEAR(readSample(quad, block->bytes.data() + i * 8), toneAt(i), 1.0 / 16384);
    }

    // A device whose buffers the service refuses to describe.
    auto o = opaqueBuffers.values().front();
    EXPECT_FALSE(o->streamDescription());
    EXPECT_TRUE(o->dataBlock());
    EXPECT_GT(o->frameCount(), 0);
}

TEST_F(SimAudioTest, GeneratorsArePacedByTheClockAndCanBeSwappedWhileRunning) {
    auto& audio = world.audio();
    audio.addDevice(
        {.uid = "mic",
         .name = "Mic",
         .generator = generators::sequence(generators::constant(0.25), 50, generators::stall())});
    Buffers buffers;
    auto session = capture("mic", buffers);
    clock.advanceSeconds(1.0);
    EXPECT_EQ(buffers.size(), 50u) << "50 buffers of 10 ms, then a stall";

    audio.setGenerator("mic", generators::silence());
    clock.advanceSeconds(0.1);
    ASSERT_EQ(buffers.size(), 60u);
    auto last = buffers.values().back();
    auto d = *last->streamDescription();
    EXPECT_EQ(readSample(d, last->dataBlock()->bytes.data()), 0.0);
    EXPECT_EQ(readSample(d, buffers.values().front()->dataBlock()->bytes.data()), 0.25);

    session->stopRunning();
    clock.advanceSeconds(1.0);
    EXPECT_EQ(buffers.size(), 60u);
}

TEST_F(SimAudioTest, AnHourOfDefaultDeviceChangesRunsInMilliseconds) {
    auto& audio = world.audio();
    auto a = audio.addDevice({.uid = "a", .name = "A"});
    auto b = audio.addDevice({.uid = "b", .name = "B"});
    std::atomic<int> changes{0};
    std::atomic<int> wrong{0};
    std::atomic<bool> expectA{false};
    auto reg = audio.addListener(
        {platform::kSystemObject, platform::HardwareProperty::defaultInputDevice, Scope::global},
        [&] {
            ++changes;
            auto now = audio.defaultInputDevice().value();
            if (now != (expectA ? a : b))
                ++wrong;
        });
    ASSERT_TRUE(reg.ok());
    const auto began = std::chrono::steady_clock::now();
    for (int i = 0; i < 360; ++i) {
        expectA = i % 2 == 0;
        audio.setDefaultInput(expectA ? "a" : "b");
        clock.advanceSeconds(10);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(5));
    EXPECT_EQ(changes, 360);
    EXPECT_EQ(wrong, 0);
    EXPECT_DOUBLE_EQ(clock.uptimeSeconds(), 3600);
    EXPECT_EQ(audio.removeListener(reg.value()), 0);
    EXPECT_EQ(audio.listenerCount(), 0u);
}

TEST_F(SimAudioTest, SessionFaultsAreScriptedPerDevice) {
    auto& audio = world.audio();
    audio.addDevice({.uid = "bad", .name = "Bad"});
    const platform::Error refused{"AVFoundationErrorDomain", -11852, "Cannot use Bad"};

    audio.setFaults("bad", {.inputCreationError = refused});
    auto input = audio.makeInput({"bad", "Bad"});
    ASSERT_FALSE(input.ok());
    EXPECT_EQ(input.error(), refused);

    audio.setFaults("bad", {.inputCreationError = std::nullopt, .refuseInput = true});
    auto session = audio.makeSession();
    input = audio.makeInput({"bad", "Bad"});
    ASSERT_TRUE(input.ok());
    EXPECT_FALSE(session->canAddInput(input.value()));

    audio.refuseOutputs(true);
    EXPECT_FALSE(session->canAddOutput(audio.makeAudioDataOutput()));
    audio.refuseOutputs(false);

    audio.setFaults("bad", {.inputCreationError = std::nullopt, .failToStart = true});
    session->addInput(input.value());
    session->startRunning();
    EXPECT_FALSE(session->isRunning());
    audio.setFaults("bad", {});
    session->startRunning();
    EXPECT_TRUE(session->isRunning());
    EXPECT_EQ(audio.runningSessions("bad"), 1u);
}

TEST_F(SimAudioTest, RuntimeErrorsAndInterruptionsAreNotifiedOncePerOccurrence) {
    auto& audio = world.audio();
    audio.addDevice({.uid = "mic", .name = "Mic"});
    Buffers buffers;
    auto session = capture("mic", buffers);
    contract::Recorder<std::string> events;
    session->setNotifications(
        {[&](std::optional<platform::Error> e) {
             events.add("runtime:" + (e ? e->localizedDescription() : std::string("none")));
         },
         [&](std::map<std::string, std::string> info) { events.add("interrupted:" + info["why"]); },
         [&] { events.add("ended"); }});

    audio.raiseRuntimeError("mic", platform::Error{"AVFoundationErrorDomain", -11819, "Lost"});
    clock.settle();
    EXPECT_FALSE(session->isRunning());
    session->startRunning();
    audio.raiseRuntimeError("mic", std::nullopt);
    clock.settle();
    session->startRunning();
    audio.interrupt("mic", {{"why", "another client"}});
    clock.settle();
    EXPECT_FALSE(session->isRunning());
    audio.endInterruption("mic");
    clock.advanceSeconds(1);

    EXPECT_EQ(events.values(), (std::vector<std::string>{"runtime:Lost", "runtime:none",
                                                         "interrupted:another client", "ended"}));
    EXPECT_FALSE(session->isRunning()) << "the owner restarts an interrupted session";
}

TEST_F(SimAudioTest, ReadsFailAsScriptedAndRunningIsKeptPerScope) {
    auto& audio = world.audio();
    auto id = audio.addDevice({.uid = "spk", .name = "Speaker", .isInput = false});
    EXPECT_TRUE(audio.inputStreamChannels(id).value().empty());
    EXPECT_TRUE(audio.discoverDevices().empty());

    audio.setRunning("spk", Scope::output, true);
    EXPECT_EQ(audio.isRunningSomewhere(id, Scope::global).value(), 1u);
    EXPECT_EQ(audio.isRunningSomewhere(id, Scope::input).value(), 0u);
    EXPECT_EQ(audio.isRunningSomewhere(id, Scope::output).value(), 1u);

    EXPECT_EQ(audio.defaultInputDevice().value(), platform::AudioObjectId{})
        << "no default is a successful read of 0";
    audio.failRead(SimRead::defaultInput, 0x77686F3F);
    EXPECT_EQ(audio.defaultInputDevice().status(), 0x77686F3F);
    audio.failRead(SimRead::defaultInput, 0);
    EXPECT_TRUE(audio.defaultInputDevice().ok());

    auto p1 = audio.addProcess(101, true);
    auto p2 = audio.addProcess(202, false);
    EXPECT_EQ(audio.processObjects().value(), (std::vector{p1, p2}));
    EXPECT_EQ(audio.processPid(p2).value(), 202);
    EXPECT_EQ(audio.processIsRunningInput(p1).value(), 1u);
    audio.setProcessInput(101, false);
    EXPECT_EQ(audio.processIsRunningInput(p1).value(), 0u);
    audio.removeProcess(101);
    EXPECT_FALSE(audio.processPid(p1).ok());
    audio.failRead(SimRead::processList, -1);
    EXPECT_FALSE(audio.processObjects().ok());
}

}  // namespace
}  // namespace ostrovane::testing_support
