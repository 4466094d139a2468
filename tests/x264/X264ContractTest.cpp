// The encoder contract, run against the libx264 sessions that the Linux
// provider hands out.
#include "contract/VideoEncoderContract.h"
#include "platform/x264/X264VideoEncoders.h"

namespace ostrovane::contract {

namespace {

// Only the encoder facility, in real time.
class X264Harness final : public RealTimeHarness {
  public:
    platform::Platform platform() override {
        platform::Platform platform;
        platform.videoEncoders = encoders_;
        return platform;
    }

  private:
    std::shared_ptr<platform::VideoEncoders> encoders_ =
        std::make_shared<platform::x264::X264VideoEncoders>();
};

Provider x264Provider() {
    return {"X264", [] { return std::make_unique<X264Harness>(); }};
}

}  // namespace

INSTANTIATE_TEST_SUITE_P(X264, VideoEncoderContract, testing::Values(x264Provider()), providerName);

}  // namespace ostrovane::contract
