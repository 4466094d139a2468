#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/PlatformError.h"
#include "platform/audio/AudioFormat.h"
#include "platform/audio/PcmBuffer.h"

namespace ostrovane::platform {

// How one offline render call went.
enum class RenderStatus {
    success,
    insufficientDataFromInputNode,  // try again
    cannotDoInCurrentContext,       // try again
    error,
};

// Fills `frames` frames of every plane of `buffer` (its frame length is set).
using SourceRenderCallback = std::function<void(std::uint32_t frames, PcmBuffer& buffer)>;
// Receives each block the tapped node produced; it runs inside the render call.
using TapCallback = std::function<void(const PcmBuffer& buffer)>;

// An audio graph rendered offline, without any device: a source node feeding
// a mixer that feeds the engine's main mixer, with a tap on the mixer.
//
// Lifecycle: build the graph → installTap → enableManualRendering → start →
// renderOffline repeatedly → stop → removeTap. All calls come from one thread.
class OfflineAudioEngine {
  public:
    virtual ~OfflineAudioEngine() = default;

    // The graph. `format` is the format of both connections.
    virtual void connectSource(SourceRenderCallback render, const AudioFormat& format) = 0;
    virtual void setMixerVolume(float volume) = 0;
    virtual void setMainMixerVolume(float volume) = 0;

    // Taps the mixer's output in blocks of `bufferFrames` frames.
    virtual void installTap(std::uint32_t bufferFrames, TapCallback onBlock) = 0;
    virtual void removeTap() = 0;

    virtual MaybeError enableManualRendering(const AudioFormat& format,
                                             std::uint32_t maximumFrames) = 0;
    virtual MaybeError start() = 0;
    virtual void stop() = 0;

    // The format the render buffer must have; valid after enableManualRendering.
    virtual AudioFormat manualRenderingFormat() const = 0;

    // Renders `frames` frames (at most the maximum) into `buffer`. An error
    // result is a thrown failure of the render call itself.
    virtual Result<RenderStatus> renderOffline(std::uint32_t frames, PcmBuffer& buffer) = 0;
};

class OfflineAudioEngines {
  public:
    virtual ~OfflineAudioEngines() = default;
    virtual std::unique_ptr<OfflineAudioEngine> create() = 0;
};

}  // namespace ostrovane::platform
