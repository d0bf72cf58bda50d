#include "asn1/ASN1DERDecoder.h"

#include <gtest/gtest.h>

#include <chrono>

#include "TestBytes.h"
#include "asn1/ASN1Error.h"

namespace kivo::asn1 {
namespace {

using namespace std::chrono;
using testing::ascii;
using testing::hex;
using testing::tlv;

TimePoint utc(int y, unsigned mo, unsigned d, int h, int mi, int s) {
    return sys_days{year{y} / mo / d} + hours{h} + minutes{mi} + seconds{s};
}

std::optional<Value> text(std::string value) {
    return Value{std::move(value)};
}

std::optional<Value> octets(std::string_view hexText) {
    return Value{hex(hexText)};
}

// Decodes bytes expected to hold exactly one top-level element.
std::shared_ptr<ASN1Object> decodeOne(const Bytes& bytes) {
    auto nodes = ASN1DERDecoder::decode(bytes);
    EXPECT_EQ(nodes.size(), 1u);
    return nodes.empty() ? std::make_shared<ASN1Object>() : nodes.front();
}

TEST(ASN1DERDecoder, decodesEachPrimitiveIntoItsValue) {
    const struct {
        const char* what;
        Bytes input;
        std::optional<Value> expected;
    } cases[] = {
        {"long-form length", hex("02 81 01 05"), octets("05")},
        {"integer loses leading zeros", hex("02 03 00 00 05"), octets("05")},
        {"bit string drops the padding count", hex("03 02 06 C0"), octets("C0")},
        {"boolean true", hex("01 01 FF"), Value{true}},
        {"multi-octet arcs", hex("06 09 2A 86 48 86 F7 0D 01 01 0B"),
         text("1.2.840.113549.1.1.11")},
        {"arc above 2^28", hex("06 06 2A 8F FF FF FF 7F"), text("1.2.4294967295")},
        {"first octet above 119", hex("06 02 88 01"), text("3.16.1")},
        {"overlong utf8", hex("0C 02 C0 80"), std::nullopt},
        {"ia5 above 0x7F", hex("16 02 41 E9"), std::nullopt},
        {"bmp string", hex("1E 04 00 41 00 E9"), text("A\xC3\xA9")},
        {"bmp surrogate pair", hex("1E 04 D8 3D DE 00"), text("\xF0\x9F\x98\x80")},
        {"bmp unpaired high surrogate", hex("1E 04 D8 3D 00 41"), std::nullopt},
        {"context primitive as text", hex("80 03 41 42 43"), text("ABC")},
        {"octet string not DER is text", hex("04 02 0C 05"), text("\x0C\x05")},
        {"high tag number is not followed", hex("9F 01 41"), text("A")},
        {"octet string neither is octets", hex("04 03 02 05 FF"), octets("02 05 FF")},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(decodeOne(c.input)->value(), c.expected) << c.what;
    }
}

TEST(ASN1DERDecoder, readsTimesWithTheirPatternsAndZones) {
    const struct {
        std::uint8_t tag;
        const char* text;
        std::optional<TimePoint> expected;
    } cases[] = {
        {0x17, "2501011200Z", utc(2025, 1, 1, 12, 0, 0)},
        {0x17, "491231235959Z", utc(2049, 12, 31, 23, 59, 59)},
        {0x17, "500101000000Z", utc(1950, 1, 1, 0, 0, 0)},
        {0x17, "250101120000+1000", utc(2025, 1, 1, 2, 0, 0)},
        {0x17, "2501011200-0130", utc(2025, 1, 1, 13, 30, 0)},
        {0x17, "250229000000Z", std::nullopt},
        {0x17, "250101120000Zjunk", std::nullopt},
        {0x18, "21360611180524Z", utc(2136, 6, 11, 18, 5, 24)},
        {0x18, "20250101120000.5Z", std::nullopt},
        // Beyond a nanosecond clock's range, both ways.
        {0x18, "99991231235959Z", utc(9999, 12, 31, 23, 59, 59)},
        {0x18, "00000101000000Z", utc(0, 1, 1, 0, 0, 0)},
        {0x18, "16000229120000Z", utc(1600, 2, 29, 12, 0, 0)},
        {0x18, "22620411234717Z", utc(2262, 4, 11, 23, 47, 17)},
        {0x17, "991231235959Z", utc(1999, 12, 31, 23, 59, 59)},
        {0x17, "000101000000Z", utc(2000, 1, 1, 0, 0, 0)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(decodeOne(tlv(c.tag, ascii(c.text)))->timeValue(), c.expected) << c.text;
    }
}

TEST(ASN1DERDecoder, reportsOutOfBufferForTruncatedOrTooDeepInput) {
    const Bytes truncated[] = {
        hex("02 05 01 02"),
        hex("30 05 02 01"),
        hex("30 84 7F FF FF FF 02 01 05"),
        hex("04 88 7F FF FF FF FF FF FF FE"),
        hex("31 03 30 03 05"),
    };
    for (const auto& input : truncated) {
        try {
            ASN1DERDecoder::decode(input);
            ADD_FAILURE() << "no error for input of " << input.size() << " octets";
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
