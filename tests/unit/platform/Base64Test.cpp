#include "platform/encoding/Base64.h"

#include <gtest/gtest.h>

namespace ostrovane::platform {
namespace {

std::vector<std::uint8_t> bytesOf(std::string_view text) {
    return {text.begin(), text.end()};
}

TEST(Base64Test, MatchesTheStandardVectorsBothWays) {
    // The encodings of the prefixes of "foobar".
    const std::string_view encodings[] = {"",         "Zg==",     "Zm8=",    "Zm9v",
                                          "Zm9vYg==", "Zm9vYmE=", "Zm9vYmFy"};
    for (std::size_t n = 0; n < std::size(encodings); ++n) {
        const std::string_view plain = std::string_view("foobar").substr(0, n);
        EXPECT_EQ(base64Encode(plain), encodings[n]);
        EXPECT_EQ(base64Decode(encodings[n]), bytesOf(plain)) << encodings[n];
    }
    const std::vector<std::uint8_t> high = {0xFB, 0xFF, 0xBF};
    EXPECT_EQ(base64Encode(high), "+/+/");
}

// Unpadded, a length not a multiple of 4, line breaks and whitespace, the
// URL-safe alphabet, too much padding, only padding, padding inside or
// between characters, leftover bits not zero, a byte outside ASCII.
TEST(Base64Test, RejectsAnythingButCanonicalPaddedText) {
    for (std::string_view bad : {"Zg", "Zg=", "Zm9v\n", "Zm 9", "Zm9-", "Z===", "====", "Zg==Zm9v",
                                 "Z=g=", "Zh==", "Zm9=", "Zm\x80v"})
        EXPECT_EQ(base64Decode(bad), std::nullopt) << bad;
}

}  // namespace
}  // namespace ostrovane::platform
