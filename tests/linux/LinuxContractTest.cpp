// The contracts of the Linux provider, against a private sound server and a
// private bus standing in for the system bus (the wake case goes through it).
// Screen capture waits for a display provider; encoders belong to other
// providers.
#include "contract/ApplicationsContract.h"
#include "contract/AudioCaptureContract.h"
#include "contract/AudioHardwareContract.h"
#include "contract/ChildProcessContract.h"
#include "contract/OfflineAudioEngineContract.h"
#include "linux/LinuxHarness.h"

namespace ostrovane::contract {

using test::linuxProvider;

INSTANTIATE_TEST_SUITE_P(Linux, AudioCaptureContract, testing::Values(linuxProvider()),
                         providerName);
INSTANTIATE_TEST_SUITE_P(Linux, AudioHardwareContract, testing::Values(linuxProvider()),
                         providerName);
INSTANTIATE_TEST_SUITE_P(Linux, ChildProcessContract, testing::Values(linuxProvider()),
                         providerName);
INSTANTIATE_TEST_SUITE_P(Linux, OfflineAudioEngineContract, testing::Values(linuxProvider()),
                         providerName);
INSTANTIATE_TEST_SUITE_P(Linux, ApplicationsContract, testing::Values(linuxProvider()),
                         providerName);

}  // namespace ostrovane::contract
