#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/audio/AudioFormat.h"
#include "platform/audio/PcmBuffer.h"

namespace ostrovane::platform {

// What an input block answers when the converter asks for more input.
enum class InputStatus {
    haveData,     // the returned buffer holds input
    noDataNow,    // nothing now; more may come on a later convert call
    endOfStream,  // no more input ever; the converter flushes its history
};

// How a convert call ended.
enum class OutputStatus {
    haveData,     // the output buffer was filled to its capacity
    inputRanDry,  // the input block had nothing more now; output holds what could be made
    endOfStream,  // everything has been output after the end of input; output is empty
    error,        // nothing usable was produced; see the error text
};

// Asked for input as the converter needs it. It sets `status` and, for
// haveData, returns a buffer in the converter's input format holding any
// number of frames (it need not match `framesRequested`). The converter copies
// the frames before calling the block again or returning, so the buffer only
// has to live until then. Frames beyond what one call consumes are kept for
// the next call.
using InputBlock =
    std::function<const PcmBuffer*(std::uint32_t framesRequested, InputStatus& status)>;

// Converts a PCM stream from one format to another: sample representation,
// channel count and sample rate.
//
// - Representation: float samples map to integers with full scale at 2^15
//   (int16) or 2^31 (int32), rounded to nearest and clipped; integers map to
//   float by the same factors. No dither, so a conversion is deterministic.
// - Channels: mono input is copied to every output channel; a mono output is
//   the average of all input channels; otherwise output channel c is input
//   channel c, and output channels without an input channel are silent
//   (stereo to 4 channels leaves 3 and 4 silent, 6 to stereo keeps 1 and 2).
// - Rate: resampled with libsoxr at its very-high quality setting. The
//   resampler is streaming: its history carries over from call to call until
//   `reset()`, so chunk boundaries leave no trace, at the price of a fixed
//   delay (the first calls may return no frames at all while it primes).
//   With equal rates nothing is resampled and conversion is exact per sample.
//
// Thread rules: one thread at a time (the owner's capture thread); the input
// block runs on the calling thread, inside `convert`.
class AudioConverter {
  public:
    // Null when the formats cannot be converted between (the resampler could
    // not be created).
    static std::unique_ptr<AudioConverter> create(const AudioFormat& from, const AudioFormat& to);

    ~AudioConverter();
    AudioConverter(const AudioConverter&) = delete;
    AudioConverter& operator=(const AudioConverter&) = delete;

    const AudioFormat& inputFormat() const;
    const AudioFormat& outputFormat() const;

    // Fills `output` from frame 0 up to its capacity, calling `input`
    // whenever it needs more frames, and sets its frameLength to the frames
    // produced. Buffers must match the converter's formats in rate, channel
    // count and sample type; their layout (interleaved or not) may differ and
    // is honoured. Returns error, with a description in `error` when given,
    // for a mismatched buffer or a haveData answer without a buffer; an empty
    // input buffer counts as noDataNow. After endOfStream every later call
    // returns endOfStream until `reset()`.
    OutputStatus convert(PcmBuffer& output, const InputBlock& input, std::string* error = nullptr);

    // Forgets all history and pending frames: the next conversion behaves as
    // on a new converter.
    void reset();

    // Resampling quality on the usual 0...127 scale (0 lowest, 32 low, 64
    // medium, 96 high, 127 highest); larger values mean highest. A new
    // converter is already at the highest quality. Changing the level starts
    // a fresh resampler, so set it before converting.
    void setSampleRateConverterQuality(std::int64_t quality);

    // Output frames held back at the moment: the resampler's delay (none
    // without resampling) plus input taken but not yet converted.
    double delayFrames() const;

    struct State;
    class Key {
        friend class AudioConverter;
        Key() = default;
    };
    AudioConverter(Key, std::unique_ptr<State> state);

  private:
    std::unique_ptr<State> state_;
};

}  // namespace ostrovane::platform
