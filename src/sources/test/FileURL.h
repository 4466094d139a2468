#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/PlatformError.h"

namespace ostrovane::sources {

// The absolute path a command's file argument names: a relative path (the
// empty one included) is taken relative to the current directory.
std::string fileURLPath(const std::string& path);

// The last component of a path, trailing slashes ignored ("/a/b.wav" ->
// "b.wav", "/a/b/" -> "b", "/" -> "/").
std::string lastPathComponent(const std::string& path);

// The largest file read whole: about 45 minutes of 48 kHz 16-bit stereo.
inline constexpr std::uint64_t kMaxFileBytes = 512ull << 20;

// Every byte of a regular file of at most kMaxFileBytes, or the error that
// prevented reading it (a directory, device or pipe is refused).
platform::Result<std::vector<std::uint8_t>> readWholeFile(const std::string& path);

inline constexpr const char* kFileReadErrorDomain = "NSPOSIXErrorDomain";

}  // namespace ostrovane::sources
