// The contracts of the Linux provider, against a private sound server and a
// private bus standing in for the system bus (the wake case goes through it).
// Screen capture is checked with the X11 provider and encoders with libx264;
// the offline audio engine is checked through the helper's TEST_MIC_TAP answer.
#include "contract/ApplicationsContract.h"
#include "contract/AudioCaptureContract.h"
#include "contract/AudioHardwareContract.h"
#include "contract/ChildProcessContract.h"
#include "linux/LinuxHarness.h"

namespace ostrovane::contract {

using test::linuxProvider;

INSTANTIATE_TEST_SUITE_P(Linux, AudioCaptureContract, testing::Values(linuxProvider()),
                         providerName);
INSTANTIATE_TEST_SUITE_P(Linux, AudioHardwareContract, testing::Values(linuxProvider()),
                         providerName);
INSTANTIATE_TEST_SUITE_P(Linux, ChildProcessContract, testing::Values(linuxProvider()),
                         providerName);
INSTANTIATE_TEST_SUITE_P(Linux, ApplicationsContract, testing::Values(linuxProvider()),
                         providerName);

}  // namespace ostrovane::contract
