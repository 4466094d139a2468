#pragma once

#include <string>

namespace ostrovane::tools {

// The picture size of an H.264 file as ffprobe decodes it ("960x540"), or
// empty when ffprobe is missing or cannot read the file. Bounded: a probe
// that hangs is killed.
std::string probeVideoSize(const std::string& path);

}  // namespace ostrovane::tools
