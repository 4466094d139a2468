// Feeds arbitrary bytes to the WAV reader as a whole file, and plays the first
// frame of whatever it accepts. Accepted files must give whole stereo output
// frames; nothing may crash, hang or read out of bounds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <variant>
#include <vector>

#include "sources/test/WAVFormat.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace ostrovane::sources;
    auto parsed = parseWAV(std::span(data, size));
    auto* contents = std::get_if<WAVContents>(&parsed);
    if (contents == nullptr) {
        (void)std::get<WAVError>(parsed).description();
        return 0;
    }
    const auto frameSize = static_cast<std::size_t>(contents->inputFrameSize());
    if (frameSize == 0 || frameSize > contents->pcmData.size())
        std::abort();
    std::vector<std::uint8_t> out;
    convertToOutputFormat(*contents, std::span(contents->pcmData).first(frameSize), out);
    if (out.empty() || out.size() % 4 != 0)
        std::abort();
    return 0;
}
