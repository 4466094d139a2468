// The audio contracts, run against the Linux provider and a private server.
// Screen capture waits for a display provider; child processes, applications,
// encoders and the offline engine belong to other providers.
#include "contract/AudioCaptureContract.h"
#include "contract/AudioHardwareContract.h"
#include "linux/LinuxHarness.h"

namespace ostrovane::contract {

using test::linuxProvider;

INSTANTIATE_TEST_SUITE_P(Linux, AudioCaptureContract, testing::Values(linuxProvider()),
                         providerName);
INSTANTIATE_TEST_SUITE_P(Linux, AudioHardwareContract, testing::Values(linuxProvider()),
                         providerName);

}  // namespace ostrovane::contract
