// Every provider contract, run against the simulated provider.
#include "contract/ApplicationsContract.h"
#include "contract/AudioCaptureContract.h"
#include "contract/AudioHardwareContract.h"
#include "contract/ChildProcessContract.h"
#include "contract/ScreenCaptureContract.h"
#include "contract/VideoEncoderContract.h"
#include "dispatch/ManualClock.h"
#include "platform/sim/SimWorld.h"

namespace ostrovane::contract {
namespace {

// The simulated provider under the contract suites: a typical machine on a
// manual clock. Time only passes when a test lets it.
class SimHarness final : public ProviderHarness {
  public:
    SimHarness() : world(manualClock) { world.addTypicalMachine(); }
    ~SimHarness() override { manualClock.settle(); }

    platform::Platform platform() override { return world.platform(); }
    dispatch::Clock& clock() override { return manualClock; }
    void pass(double seconds) override { manualClock.advanceSeconds(seconds); }

    std::optional<std::string> addDefaultMicrophone(const std::string& name) override {
        const std::string uid = "sim-mic-" + std::to_string(++devices_);
        world.audio().addDevice(platform::sim::SimDeviceSpec{.uid = uid, .name = name});
        world.audio().setDefaultInput(uid);
        return uid;
    }
    std::optional<platform::ChildProcessSpec> childThatPrints(const std::string& text,
                                                              int status) override {
        const std::string exe = "/sim/bin/printer-" + std::to_string(++children_);
        world.childProcesses().pushScript(
            exe, platform::sim::SimChildScript{}.writeInChunks(text, 7).exit(
                     status, dispatch::milliseconds(20)));
        return platform::ChildProcessSpec{exe, {}};
    }
    std::optional<platform::ChildProcessSpec> childThatWaits() override {
        return platform::ChildProcessSpec{"/sim/bin/waiter", {}};
    }
    platform::ChildProcessSpec missingExecutable() override {
        const std::string exe = "/sim/bin/missing";
        world.childProcesses().pushScript(
            exe,
            platform::sim::SimChildScript::failingLaunch(
                {"NSCocoaErrorDomain", 4, "The file \u201cmissing\u201d doesn\u2019t exist."}));
        return {exe, {}};
    }
    bool postWake() override {
        world.applications().postWake();
        return true;
    }

    // Declared first: destroyed last, after every queue of the world.
    dispatch::ManualClock manualClock;
    platform::sim::SimWorld world;

  private:
    int devices_ = 0;
    int children_ = 0;
};

const Provider kSim{"Sim", [] { return std::make_unique<SimHarness>(); }};

}  // namespace

INSTANTIATE_TEST_SUITE_P(Sim, AudioCaptureContract, testing::Values(kSim), providerName);
INSTANTIATE_TEST_SUITE_P(Sim, AudioHardwareContract, testing::Values(kSim), providerName);
INSTANTIATE_TEST_SUITE_P(Sim, ScreenCaptureContract, testing::Values(kSim), providerName);
INSTANTIATE_TEST_SUITE_P(Sim, ChildProcessContract, testing::Values(kSim), providerName);
INSTANTIATE_TEST_SUITE_P(Sim, ApplicationsContract, testing::Values(kSim), providerName);
INSTANTIATE_TEST_SUITE_P(Sim, VideoEncoderContract, testing::Values(kSim), providerName);

}  // namespace ostrovane::contract
