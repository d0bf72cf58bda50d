#include "asn1/ASN1DERDecoder.h"

#include <gtest/gtest.h>

#include "TestBytes.h"
#include "asn1/ASN1Error.h"
#include "foundation/Time.h"
#include "support/TestCases.h"

namespace kivo::asn1 {
namespace {

using testing::ascii;
using testing::hex;
using testing::tlv;

const nlohmann::json& cases(std::string_view section) {
    return kivo::testing::testCases("asn1/decoder.json", section);
}

// Decodes bytes expected to hold exactly one top-level element.
std::shared_ptr<ASN1Object> decodeOne(const Bytes& bytes) {
    auto nodes = ASN1DERDecoder::decode(bytes);
    EXPECT_EQ(nodes.size(), 1u);
    return nodes.empty() ? std::make_shared<ASN1Object>() : nodes.front();
}

TEST(ASN1DERDecoder, decodesEachPrimitiveIntoItsValue) {
    for (const auto& c : cases("primitives")) {
        std::optional<Value> expected;
        for (const auto& [kind, value] : c[2].items()) {
            if (kind == "text") {
                expected = value.get<std::string>();
            } else if (kind == "octets") {
                expected = hex(value.get<std::string>());
            } else {
                expected = value.get<bool>();
            }
        }
        EXPECT_EQ(decodeOne(hex(c[1].get<std::string>()))->value(), expected) << c[0];
    }
}

TEST(ASN1DERDecoder, readsTimesWithTheirPatternsAndZones) {
    for (const auto& c : cases("times")) {
        const auto time = decodeOne(tlv(c[0], ascii(c[1].get<std::string>())))->timeValue();
        EXPECT_EQ(time ? nlohmann::json(foundation::formatTimestamp(*time)) : nlohmann::json(),
                  c[2])
            << c[1];
    }
}

TEST(ASN1DERDecoder, reportsOutOfBufferForTruncatedOrTooDeepInput) {
    for (const std::string input : cases("truncated")) {
        try {
            ASN1DERDecoder::decode(hex(input));
            ADD_FAILURE() << "no error for " << input;
        } catch (const ASN1Exception& error) {
            EXPECT_EQ(error.error(), ASN1Error::outOfBuffer);
        }
    }

    const auto nested = [](std::size_t depth, std::uint8_t identifier) {
        Bytes bytes = hex("05 00");
        for (std::size_t i = 0; i < depth; ++i) {
            bytes = tlv(identifier, bytes);
        }
        return bytes;
    };
    EXPECT_NO_THROW(ASN1DERDecoder::decode(nested(ASN1DERDecoder::maximumDepth, 0x30)));
    EXPECT_THROW(ASN1DERDecoder::decode(nested(ASN1DERDecoder::maximumDepth + 1, 0x30)),
                 ASN1Exception);
    Bytes indefinite(200000, 0x80);
    for (std::size_t i = 0; i < indefinite.size(); i += 2) {
        indefinite[i] = 0x30;
    }
    EXPECT_THROW(ASN1DERDecoder::decode(indefinite), ASN1Exception);
    // End of contents, or a tag with no reading, ends the level rather than failing.
    EXPECT_TRUE(ASN1DERDecoder::decode(hex("00 00 02 01 05")).empty());
    EXPECT_EQ(decodeOne(hex("30 06 02 01 05 0E 00 05"))->childCount(), 1u);
    // Too-deep contents of an OCTET STRING are kept as its value instead.
    EXPECT_NO_THROW(ASN1DERDecoder::decode(nested(1000, 0x04)));
}

}  // namespace
}  // namespace kivo::asn1
