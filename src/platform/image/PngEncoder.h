#pragma once

#include <cstdint>
#include <vector>

#include "platform/image/Image.h"

namespace ostrovane::platform {

// Encodes an image as PNG bytes; an empty result means the image was empty or
// encoding failed. Opaque images become 8-bit RGB (a quarter less to
// compress, and no alpha channel for viewers to mishandle); images with any
// transparency become 8-bit RGBA with straight alpha. Compression favours speed:
// snapshots and thumbnails are taken on capture threads while video runs.
std::vector<std::uint8_t> encodePng(const Image& image);

}  // namespace ostrovane::platform
