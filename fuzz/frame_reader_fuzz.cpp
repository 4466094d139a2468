// Feeds arbitrary bytes to FrameReader twice: in one piece and in chunk sizes
// drawn from the input. Besides the sanitizers' checks, both readings must
// agree: the frames and the first error may not depend on the chunking.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "protocol/FrameReader.h"

namespace {

using namespace ostrovane::protocol;

struct Outcome {
    std::vector<Frame> frames;
    ReadStatus status = ReadStatus::needMoreData;
    std::optional<ReadError> error;
    std::uint64_t consumed = 0;
};

Outcome readChunked(std::span<const std::uint8_t> stream, std::span<const std::uint8_t> chunkPlan) {
    // A small limit keeps "valid" random lengths from buffering much.
    FrameReader reader(FrameReaderOptions{.maxPayloadLength = 1 << 16});
    Outcome outcome;
    Frame frame;
    auto drain = [&] {
        while ((outcome.status = reader.next(frame)) == ReadStatus::frame) {
            if (frame.payload.size() != frame.payloadLength) {
                std::abort();
            }
            outcome.frames.push_back(frame);
        }
    };
    std::size_t planIndex = 0;
    while (!stream.empty()) {
        std::size_t chunk = stream.size();
        if (!chunkPlan.empty()) {
            chunk = std::min<std::size_t>(chunk, 1 + chunkPlan[planIndex++ % chunkPlan.size()]);
        }
        reader.feed(stream.first(chunk));
        stream = stream.subspan(chunk);
        drain();
        if (outcome.status == ReadStatus::error) {
            break;
        }
    }
    reader.finish();
    drain();
    outcome.error = reader.error();
    outcome.consumed = reader.bytesConsumed();
    return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    // The first byte says how many of the following bytes describe chunk sizes.
    const std::size_t planSize = std::min<std::size_t>(data[0] % 16, size - 1);
    const std::span<const std::uint8_t> chunkPlan(data + 1, planSize);
    const std::span<const std::uint8_t> stream(data + 1 + planSize, size - 1 - planSize);

    const Outcome whole = readChunked(stream, {});
    const Outcome pieces = readChunked(stream, chunkPlan);

    if (whole.status != pieces.status || whole.frames != pieces.frames ||
        whole.consumed != pieces.consumed || whole.error.has_value() != pieces.error.has_value()) {
        std::abort();
    }
    if (whole.status != ReadStatus::endOfStream && whole.status != ReadStatus::error) {
        std::abort();  // after finish() the reader must reach a final state
    }
    if (whole.error &&
        (whole.error->kind != pieces.error->kind || whole.error->offset != pieces.error->offset ||
         whole.error->message != pieces.error->message)) {
        std::abort();
    }
    return 0;
}
