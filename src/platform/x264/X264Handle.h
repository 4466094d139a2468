#pragma once

#include <memory>

#include <x264.h>

namespace ostrovane::platform::x264 {

struct X264Closer {
    void operator()(x264_t* encoder) const { x264_encoder_close(encoder); }
};
using X264Handle = std::unique_ptr<x264_t, X264Closer>;

}  // namespace ostrovane::platform::x264
