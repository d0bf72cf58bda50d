#include "foundation/Encodings.h"

#include <gtest/gtest.h>

namespace kivo::foundation {
namespace {

// RFC 4648 vectors both ways, plus both extra alphabet characters; however the bytes are cut into
// pieces, the writer's text is the encoding of them joined.
TEST(EncodingsTest, HexAndBase64MatchStandardFormsAlsoWrittenInPieces) {
    EXPECT_EQ(hexEncode(Bytes{}), "");
    EXPECT_EQ(hexEncode(Bytes{0x00, 0x0A, 0xFF, 0x9c}), "000aff9c");
    const std::vector<std::pair<std::string, std::string>> vectors = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
        {"\xfb\xff\xbf\xfb", "+/+/+w=="}};
    for (const auto& [plain, encoded] : vectors) {
        EXPECT_EQ(base64Encode(byteView(plain)), encoded);
        EXPECT_EQ(base64DecodeStrict(encoded), Bytes(plain.begin(), plain.end())) << encoded;
        for (std::size_t piece = 1; piece <= 4; ++piece) {
            std::string text = "kept:";
            Base64Writer writer(text);
            for (std::size_t offset = 0; offset < plain.size(); offset += piece) {
                writer.write(byteView(std::string_view(plain).substr(offset, piece)));
                writer.write({});
            }
            writer.finish();
            EXPECT_EQ(text, "kept:" + encoded) << plain << " in pieces of " << piece;
        }
    }
    // Pieces that straddle the encoder's internal chunk of 3 MiB.
    Bytes large(3 * 1024 * 1024 + 5);
    for (std::size_t i = 0; i < large.size(); ++i) {
        large[i] = static_cast<std::uint8_t>(i * 131 + (i >> 8));
    }
    std::string text;
    Base64Writer writer(text);
    const std::span<const std::uint8_t> all(large);
    writer.write(all.first(1024 * 1024 + 1));
    writer.write(all.subspan(1024 * 1024 + 1));
    writer.finish();
    EXPECT_EQ(base64DecodeStrict(text), large);
}

TEST(EncodingsTest, StrictDecoderRejectsWhitespaceAlphabetAndPaddingErrors) {
    for (const std::string text : {"Zg", "Zg=", "Zm9v\n", "Zm9v Zm9v", " Zm9v", "Zm9v====", "Z===",
                                   "Zg==Zm9v", "Zm=v", "Zm9-", "Zm9_", "Zm9v\xC3\xA9"}) {
        EXPECT_FALSE(base64DecodeStrict(text).has_value()) << text;
    }
    EXPECT_FALSE(base64DecodeStrict(std::string("Zm\0v", 4)).has_value());
}

}  // namespace
}  // namespace kivo::foundation
