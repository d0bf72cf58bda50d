#include "certs/Encodings.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kivo::certs {
namespace {

TEST(EncodingsTest, HexIsLowerCaseWithLeadingZeros) {
    EXPECT_EQ(hexEncode(Bytes{}), "");
    EXPECT_EQ(hexEncode(Bytes{0x00, 0x0A, 0xFF}), "000aff");
    EXPECT_EQ(hexEncode(Bytes{0x12, 0xAB, 0xCD, 0xEF, 0x90}), "12abcdef90");
}

// RFC 4648 test vectors, encoded and decoded both ways.
TEST(EncodingsTest, Base64MatchesStandardVectorsBothWays) {
    const std::vector<std::pair<std::string, std::string>> vectors = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
    };
    for (const auto& [plain, encoded] : vectors) {
        SCOPED_TRACE(plain);
        EXPECT_EQ(base64Encode(byteView(plain)), encoded);
        const std::optional<Bytes> decoded = base64DecodeStrict(encoded);
        ASSERT_TRUE(decoded.has_value());
        EXPECT_EQ(std::string(decoded->begin(), decoded->end()), plain);
    }
    // Both extra alphabet characters.
    EXPECT_EQ(base64Encode(Bytes{0xFB, 0xFF, 0xBF}), "+/+/");
    EXPECT_EQ(base64DecodeStrict("+/+/"), (Bytes{0xFB, 0xFF, 0xBF}));
}

TEST(EncodingsTest, Base64StaysOnOneLineAtAnyLength) {
    EXPECT_EQ(base64Encode(Bytes(60, 0x41)).size(), 80u);
    // Longer than the encoder's internal chunk, and not a multiple of three.
    Bytes large(3 * 1024 * 1024 * 2 + 1);
    for (std::size_t i = 0; i < large.size(); ++i) {
        large[i] = static_cast<std::uint8_t>(i % 251);
    }
    const std::string encoded = base64Encode(large);
    EXPECT_EQ(encoded.size(), (large.size() + 2) / 3 * 4);
    EXPECT_EQ(encoded.find_first_of("\r\n"), std::string::npos);
    EXPECT_EQ(encoded.substr(encoded.size() - 2), "==");
    EXPECT_EQ(base64DecodeStrict(encoded), large);
}

TEST(EncodingsTest, StrictDecoderRejectsAnythingButCanonicalShape) {
    const std::vector<std::string> rejected = {
        "Zg",            // no padding
        "Zg=",           // short padding
        "Zm9v\n",        // line break
        "Zm9v Zm9v",     // inner space
        " Zm9v",         // leading space
        "Zm9v\t",        // tab
        "Zm9v====",      // a group of padding only
        "Z===",          // three fill characters
        "Zg==Zm9v",      // padding before the end
        "Zm=v",          // padding inside a group
        "Zm9-",          // URL-safe alphabet
        "Zm9_",          //
        "Zm9v\xC3\xA9",  // non-ASCII
        std::string("Zm\0v", 4),
    };
    for (const std::string& text : rejected) {
        SCOPED_TRACE(text);
        EXPECT_FALSE(base64DecodeStrict(text).has_value());
    }
}

}  // namespace
}  // namespace kivo::certs
