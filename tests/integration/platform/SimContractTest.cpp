// Every provider contract, run against the simulated provider.
#include "contract/ApplicationsContract.h"
#include "contract/AudioCaptureContract.h"
#include "contract/AudioHardwareContract.h"
#include "contract/ChildProcessContract.h"
#include "contract/ScreenCaptureContract.h"
#include "contract/VideoEncoderContract.h"
#include "integration/platform/SimHarness.h"

namespace ostrovane::contract {

using testing_support::simProvider;

INSTANTIATE_TEST_SUITE_P(Sim, AudioCaptureContract, testing::Values(simProvider()), providerName);
INSTANTIATE_TEST_SUITE_P(Sim, AudioHardwareContract, testing::Values(simProvider()), providerName);
INSTANTIATE_TEST_SUITE_P(Sim, ScreenCaptureContract, testing::Values(simProvider()), providerName);
INSTANTIATE_TEST_SUITE_P(Sim, ChildProcessContract, testing::Values(simProvider()), providerName);
INSTANTIATE_TEST_SUITE_P(Sim, ApplicationsContract, testing::Values(simProvider()), providerName);
INSTANTIATE_TEST_SUITE_P(Sim, VideoEncoderContract, testing::Values(simProvider()), providerName);

}  // namespace ostrovane::contract
