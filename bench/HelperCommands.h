#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "support/HelperProcess.h"

namespace ostrovane::bench {

// Sends `command` to a running helper; what follows `prefix` in its answer,
// once that came.
std::optional<std::string> answerTo(test::HelperProcess& helper, const std::string& command,
                                    const std::string& prefix);

// The video frames the helper has written so far.
std::size_t videoFrameCount(const test::HelperProcess& helper);

}  // namespace ostrovane::bench
