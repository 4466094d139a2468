// The screen contract against the real Linux provider: displays, windows,
// images and screenshots from a private Xvfb, system audio from a private
// PulseAudio.
#include <thread>

#include "contract/ScreenCaptureContract.h"
#include "dispatch/SystemClock.h"
#include "platform/linux/LinuxPlatform.h"
#include "platform/x11/X11Displays.h"
#include "servers/PrivatePulseServer.h"
#include "support/PrivateXServer.h"

namespace ostrovane::test {
namespace {

class X11Harness final : public contract::ProviderHarness {
  public:
    X11Harness() {
        if (!sound.ready())
            ADD_FAILURE() << "private PulseAudio did not start: " << sound.failure();
        if (!display.ready())
            ADD_FAILURE() << "Xvfb did not start";
        platform::LinuxPlatformOptions options;
        options.pulseServer = sound.server();
        options.displays = platform::x11::X11Displays::connect(clock_, display.name());
        platform_ = platform::makeLinuxPlatform(clock_, std::move(options));
    }

    platform::Platform platform() override { return platform_; }
    dispatch::Clock& clock() override { return clock_; }
    void pass(double seconds) override {
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    }
    // Only the screen contract runs here.
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
    // Declared first: destroyed last, after the platform's queues.
    dispatch::SystemClock clock_;
    PrivatePulseServer sound;
    PrivateXServer display;
    platform::Platform platform_;
};

}  // namespace
}  // namespace ostrovane::test

namespace ostrovane::contract {

INSTANTIATE_TEST_SUITE_P(X11, ScreenCaptureContract,
                         testing::Values(Provider{
                             "X11", [] { return std::make_unique<test::X11Harness>(); }}),
                         providerName);

}  // namespace ostrovane::contract
