#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "platform/SampleBuffer.h"
#include "platform/audio/PcmBuffer.h"

namespace ostrovane::sources::mic {

// What the conversion reports while it works. Both may be empty.
struct PcmConversionHooks {
    // One failure line, without prefix.
    std::function<void(const std::string&)> log;
    // The buffer's format cannot be described as a PCM format, so only
    // channel 0 is taken; called before the extraction is attempted.
    std::function<void(const platform::StreamDescription&)> monoFallback;
};

// Turns a captured buffer into a PCM buffer in the device's own format. When
// the format cannot be described (more than two channels carry no known
// layout), channel 0 alone is taken, in the device's sample type and rate.
// Nothing when the buffer cannot be used; the reason is logged through the
// hooks where there is a line for it.
std::unique_ptr<platform::PcmBuffer> convertToPcmBuffer(const platform::SampleBuffer& buffer,
                                                        const PcmConversionHooks& hooks);

// Copies channel 0 of `frames` frames laid out as `layout` says (planar:
// channel 0 is the first plane; interleaved: the first sample of every frame)
// from `block` into `destination`, densely. Returns the failure line when the
// block is shorter than the layout needs or the destination cannot hold the
// samples; nothing on success.
std::optional<std::string> extractChannelZero(const platform::StreamDescription& layout,
                                              std::int64_t frames, std::span<const std::byte> block,
                                              std::span<std::byte> destination);

}  // namespace ostrovane::sources::mic
