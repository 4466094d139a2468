#pragma once

#include <gtest/gtest.h>

#include "contract/ProviderHarness.h"

namespace ostrovane::contract {

// H.264 sessions: creation, ordered length-prefixed output, keyframes.
class VideoEncoderContract : public testing::TestWithParam<Provider> {
  protected:
    struct Output {
        platform::EncoderStatus status;
        std::optional<platform::EncodedFrame> frame;
    };

    void SetUp() override {
        harness = GetParam().make();
        encoders = harness->platform().videoEncoders;
    }

    platform::EncodedFrameHandler recording() {
        return [this](platform::EncoderStatus s, std::optional<platform::EncodedFrame> f) {
            outputs.add({s, std::move(f)});
        };
    }

    // Whether `data` is a non-empty run of NAL units, each after its length.
    static bool isLengthPrefixed(const std::vector<std::uint8_t>& data) {
        std::size_t at = 0;
        while (at + 4 <= data.size()) {
            const std::size_t n = (std::size_t{data[at]} << 24) |
                                  (std::size_t{data[at + 1]} << 16) |
                                  (std::size_t{data[at + 2]} << 8) | data[at + 3];
            if (n == 0 || at + 4 + n > data.size())
                return false;
            at += 4 + n;
        }
        return at > 0 && at == data.size();
    }

    std::unique_ptr<ProviderHarness> harness;
    std::shared_ptr<platform::VideoEncoders> encoders;
    Recorder<Output> outputs;
};

TEST_P(VideoEncoderContract, FramesComeBackInOrderWithParameterSetsOnKeyframesUntilInvalidated) {
    auto sizeless = encoders->create({0, 0, 1'000'000, 10});
    EXPECT_NE(sizeless.status, 0);
    EXPECT_FALSE(sizeless.encoder);

    auto created = encoders->create({320, 240, 500'000, 10});
    ASSERT_EQ(created.status, 0);
    ASSERT_TRUE(created.encoder);
    platform::Image image(320, 240);
    const int frames = 6;
    for (int i = 0; i < frames; ++i) {
        // A busy session refuses the image; offering it again once the
        // encoder has caught up keeps every frame.
        platform::EncoderStatus status = platform::kEncoderBusy;
        for (int tries = 0; status == platform::kEncoderBusy && tries < 100; ++tries) {
            status =
                created.encoder->encode(image, {i, 10}, {1, 10}, i == 0 || i == 4, recording());
            if (status == platform::kEncoderBusy)
                harness->pass(0.01);
        }
        ASSERT_EQ(status, 0);
    }
    created.encoder->completeFrames();
    ASSERT_EQ(outputs.size(), static_cast<std::size_t>(frames));

    auto all = outputs.values();
    for (int i = 0; i < frames; ++i) {
        ASSERT_EQ(all[i].status, 0);
        ASSERT_TRUE(all[i].frame);
        const auto& f = *all[i].frame;
        EXPECT_EQ(f.presentationTime.seconds(), i / 10.0);
        EXPECT_TRUE(isLengthPrefixed(f.data)) << "frame " << i;
        if (i == 0 || i == 4) {
            EXPECT_TRUE(f.isKeyframe) << "frame " << i;
            ASSERT_TRUE(f.parameterSets);
            ASSERT_FALSE(f.parameterSets->sps.empty());
            ASSERT_FALSE(f.parameterSets->pps.empty());
            EXPECT_EQ(f.parameterSets->sps[0] & 0x1F, 7);
            EXPECT_EQ(f.parameterSets->pps[0] & 0x1F, 8);
        }
    }
    // Nothing is delivered after invalidation.
    created.encoder->invalidate();
    created.encoder->encode(image, {frames, 10}, {1, 10}, false, recording());
    harness->pass(0.3);
    EXPECT_EQ(outputs.size(), static_cast<std::size_t>(frames));
}

}  // namespace ostrovane::contract
