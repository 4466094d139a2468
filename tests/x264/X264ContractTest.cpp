// The encoder contract, run against the libx264 sessions that the Linux
// provider hands out.
#include <thread>

#include "contract/VideoEncoderContract.h"
#include "dispatch/SystemClock.h"
#include "platform/x264/X264VideoEncoders.h"

namespace ostrovane::contract {

namespace {

// Only the encoder facility, in real time.
class X264Harness final : public ProviderHarness {
  public:
    platform::Platform platform() override {
        platform::Platform platform;
        platform.videoEncoders = encoders_;
        return platform;
    }
    dispatch::Clock& clock() override { return clock_; }
    void pass(double seconds) override {
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    }
    std::optional<std::string> addDefaultMicrophone(const std::string&) override {
        return std::nullopt;
    }
    bool removeMicrophone(const std::string&) override { return false; }
    std::optional<platform::ChildProcessSpec> childThatPrints(const std::string&, int) override {
        return std::nullopt;
    }
    std::optional<platform::ChildProcessSpec> childThatWaits() override { return std::nullopt; }
    platform::ChildProcessSpec missingExecutable() override { return {"/nonexistent", {}}; }
    bool postWake() override { return false; }

  private:
    dispatch::SystemClock clock_;
    std::shared_ptr<platform::VideoEncoders> encoders_ =
        std::make_shared<platform::x264::X264VideoEncoders>();
};

Provider x264Provider() {
    return {"X264", [] { return std::make_unique<X264Harness>(); }};
}

}  // namespace

INSTANTIATE_TEST_SUITE_P(X264, VideoEncoderContract, testing::Values(x264Provider()), providerName);

}  // namespace ostrovane::contract
