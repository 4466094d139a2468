// The screen contract against the real Linux provider: displays, windows,
// images and screenshots from a private Xvfb, system audio from a private
// PulseAudio.
#include "contract/ScreenCaptureContract.h"
#include "platform/linux/LinuxPlatform.h"
#include "platform/x11/X11Displays.h"
#include "servers/PrivatePulseServer.h"
#include "support/PrivateXServer.h"

namespace ostrovane::test {
namespace {

class X11Harness final : public contract::RealTimeHarness {
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

  private:
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
