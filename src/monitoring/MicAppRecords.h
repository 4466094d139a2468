#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ostrovane::monitoring {

// The tagged JSON lines of the mic app detector, without their line feed;
// ill-formed UTF-8 in a text is replaced by U+FFFD; nothing when the object
// still cannot be serialized.
std::optional<std::string> micAppEventLine(const std::string& bundleId, const std::string& appName,
                                           std::int32_t pid, double timestamp);
std::optional<std::string> micAppStopEventLine(const std::string& bundleId,
                                               const std::string& appName, std::int32_t pid,
                                               double timestamp);
std::optional<std::string> micAppSnapshotLine(const std::vector<std::string>& bundleIds,
                                              double timestamp);
std::optional<std::string> micAppErrorLine(const std::string& message, double timestamp);

}  // namespace ostrovane::monitoring
