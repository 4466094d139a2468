#include "platform/encoding/Base64.h"

#include <gtest/gtest.h>

namespace ostrovane::platform {
namespace {

std::vector<std::uint8_t> bytesOf(std::string_view text) {
    return {text.begin(), text.end()};
}

TEST(Base64Test, MatchesTheStandardVectorsBothWays) {
    const std::pair<std::string_view, std::string_view> vectors[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
    };
    for (const auto& [plain, encoded] : vectors) {
        EXPECT_EQ(base64Encode(plain), encoded);
        EXPECT_EQ(base64Decode(encoded), bytesOf(plain)) << encoded;
    }
    const std::vector<std::uint8_t> high = {0xFB, 0xFF, 0xBF};
    EXPECT_EQ(base64Encode(high), "+/+/");
}

TEST(Base64Test, RejectsAnythingButCanonicalPaddedText) {
    for (std::string_view bad : {
             "Zg",        // unpadded
             "Zg=",       // length not a multiple of 4
             "Zm9v\n",    // line break
             "Zm 9",      // whitespace
             "Zm9-",      // URL-safe alphabet
             "Z===",      // too much padding
             "====",      // only padding
             "Zg==Zm9v",  // padding inside
             "Z=g=",      // padding between characters
             "Zh==",      // leftover bits not zero
             "Zm9=",      // leftover bits not zero
             "Zm\x80v",   // byte outside ASCII
         }) {
        EXPECT_EQ(base64Decode(bad), std::nullopt) << bad;
    }
}

}  // namespace
}  // namespace ostrovane::platform
