// Feeds arbitrary encoder output to the Annex B rewriter: it must never read
// past its input, and every unit it writes must come from a whole length field.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "video/AnnexB.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const bool keyframe = data[0] & 1;
    const std::span<const std::uint8_t> input(data + 1, size - 1);
    const std::uint8_t sps[] = {0x67, 0x4D};
    const std::uint8_t pps[] = {0x68};
    const auto out = ostrovane::video::convertAVCCToAnnexB(input, keyframe, sps, pps);
    // A length field is as long as a start code, so the output never outgrows
    // the input plus the parameter sets.
    if (out.size() > input.size() + (keyframe ? 4 + sizeof sps + 4 + sizeof pps : 0))
        std::abort();
    return 0;
}
