#pragma once

#include <gtest/gtest.h>

#include <algorithm>

#include "contract/ProviderHarness.h"
#include "dispatch/SerialQueue.h"
#include "platform/audio/PcmBuffer.h"

namespace ostrovane::contract {

// Microphones, permission and capture sessions.
class AudioCaptureContract : public testing::TestWithParam<Provider> {
  protected:
    void SetUp() override {
        harness = GetParam().make();
        capture = harness->platform().audioCapture;
        queue = std::make_unique<dispatch::SerialQueue>(harness->clock(), "contract.capture");
        auto uid = harness->addDefaultMicrophone("Contract Mic");
        if (!uid)
            GTEST_SKIP() << "provider cannot add a microphone";
        micUid = *uid;
        ASSERT_TRUE(harness->waitUntil(
            [&] {
                auto d = capture->defaultDevice();
                return d && d->uniqueId == micUid;
            },
            5));
    }
    void TearDown() override {
        if (session)
            session->stopRunning();
        session.reset();
        queue.reset();
    }

    // A session on the default device whose buffers are recorded.
    void startSession() {
        session = capture->makeSession();
        auto input = capture->makeInput(*capture->defaultDevice());
        ASSERT_TRUE(input.ok()) << input.error().description();
        session->beginConfiguration();
        ASSERT_TRUE(session->canAddInput(input.value()));
        session->addInput(input.value());
        auto output = capture->makeAudioDataOutput();
        ASSERT_TRUE(session->canAddOutput(output));
        session->addOutput(output);
        EXPECT_FALSE(session->canAddOutput(output));  // an output is added once
        EXPECT_EQ(session->outputs().size(), 1u);
        output->setSampleBufferHandler(
            [this](std::shared_ptr<const platform::SampleBuffer> b) {
                onQueue.add(queue->isCurrent());
                buffers.add(std::move(b));
            },
            queue->ref());
        session->commitConfiguration();
        session->startRunning();
    }

    std::unique_ptr<ProviderHarness> harness;
    std::shared_ptr<platform::AudioCaptureDevices> capture;
    std::unique_ptr<dispatch::SerialQueue> queue;
    std::shared_ptr<platform::AudioCaptureSession> session;
    std::string micUid;
    Recorder<std::shared_ptr<const platform::SampleBuffer>> buffers;
    Recorder<bool> onQueue;
};

TEST_P(AudioCaptureContract, DevicesAreListedUnknownOnesRefusedAndPermissionAnsweredOnce) {
    const auto devices = capture->discoverDevices();
    auto it = std::find_if(devices.begin(), devices.end(),
                           [&](const auto& d) { return d.uniqueId == micUid; });
    ASSERT_NE(it, devices.end());
    EXPECT_FALSE(it->localizedName.empty());

    auto input = capture->makeInput({"no-such-device-uid", "Nobody"});
    ASSERT_FALSE(input.ok());
    EXPECT_FALSE(input.error().localizedDescription().empty());

    EXPECT_EQ(harness->answers<bool>([&](auto done) { capture->requestAccess(done); }, 0.3).size(),
              1u);
}

TEST_P(AudioCaptureContract, RunningSessionDeliversDescribedBuffersOnItsQueueUntilStopped) {
    startSession();
    ASSERT_TRUE(session->isRunning());
    ASSERT_TRUE(harness->waitUntil([&] { return buffers.size() >= 3; }, 5));

    for (bool current : onQueue.values())
        EXPECT_TRUE(current);
    for (const auto& buffer : buffers.values()) {
        auto description = buffer->streamDescription();
        ASSERT_TRUE(description);
        EXPECT_GT(description->sampleRate, 0);
        EXPECT_GT(description->channelsPerFrame, 0u);
        ASSERT_GT(buffer->frameCount(), 0);

        auto block = buffer->dataBlock();
        ASSERT_TRUE(block);
        EXPECT_EQ(block->status, 0);
        EXPECT_EQ(block->bytes.size(), static_cast<std::size_t>(buffer->frameCount()) *
                                           description->channelsPerFrame *
                                           (description->bitsPerChannel / 8));

        // A PCM buffer of the buffer's own format takes a copy; too small a
        // buffer is refused with a status.
        if (auto format = platform::AudioFormat::fromStreamDescription(*description)) {
            auto copyInto = [&](std::int64_t frames) {
                platform::PcmBuffer pcm(*format, static_cast<std::uint32_t>(frames));
                pcm.setFrameLength(static_cast<std::uint32_t>(frames));
                auto list = pcm.audioBufferList();
                return buffer->copyPcm(0, buffer->frameCount(), list);
            };
            EXPECT_EQ(copyInto(buffer->frameCount()), 0);
            if (buffer->frameCount() >= 2) {
                EXPECT_NE(copyInto(1), 0);
            }
        }
    }

    session->stopRunning();
    EXPECT_FALSE(session->isRunning());
    harness->pass(0.2);
    const std::size_t afterStop = buffers.size();
    harness->pass(0.5);
    EXPECT_EQ(buffers.size(), afterStop);
}

}  // namespace ostrovane::contract
