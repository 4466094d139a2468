#include <gtest/gtest.h>

#include "video/AnnexB.h"

namespace ostrovane::video {
namespace {

using Bytes = std::vector<std::uint8_t>;

const Bytes kSps{0x67, 0x42};
const Bytes kPps{0x68, 0xCE};
// Two NAL units of 2 and 1 bytes.
const Bytes kTwoUnits{0, 0, 0, 2, 0x65, 0x88, 0, 0, 0, 1, 0x41};
const Bytes kTwoUnitsAnnexB{0, 0, 0, 1, 0x65, 0x88, 0, 0, 0, 1, 0x41};
const Bytes kParameterSets{0, 0, 0, 1, 0x67, 0x42, 0, 0, 0, 1, 0x68, 0xCE};

Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A keyframe starts with the parameter sets that are known; delta frames,
// and units cut short, never carry them.
TEST(AnnexBTest, ConvertsLengthPrefixedUnitsAndPrefixesKeyframesWithTheParameterSets) {
    struct Case {
        const char* name;
        Bytes input;
        bool keyframe;
        Bytes expected;
        Bytes sps = kSps, pps = kPps;
    };
    const Case cases[] = {
        {"delta frame", kTwoUnits, false, kTwoUnitsAnnexB},
        {"keyframe", kTwoUnits, true, concat(kParameterSets, kTwoUnitsAnnexB)},
        {"keyframe, no parameter sets", kTwoUnits, true, kTwoUnitsAnnexB, {}, {}},
        {"SPS alone", kTwoUnits, true, concat({0, 0, 0, 1, 0x67, 0x42}, kTwoUnitsAnnexB), kSps, {}},
        {"truncated last unit", concat(kTwoUnits, {0, 0, 0, 9, 0x41}), false, kTwoUnitsAnnexB},
        {"three bytes, delta", {0, 0, 0}, false, {}},
        {"three bytes, keyframe", {0, 0, 0}, true, kParameterSets},
        {"huge length", {0xFF, 0xFF, 0xFF, 0xFF, 0x41}, false, {}},
        {"empty unit", {0, 0, 0, 0, 0, 0, 0, 1, 0x41}, false, {0, 0, 0, 1, 0, 0, 0, 1, 0x41}}};
    for (const Case& c : cases)
        EXPECT_EQ(convertAVCCToAnnexB(c.input, c.keyframe, c.sps, c.pps), c.expected) << c.name;
}

}  // namespace
}  // namespace ostrovane::video
