#include "asn1/ASN1DERDecoder.h"

#include <gtest/gtest.h>

#include <chrono>

#include "TestBytes.h"
#include "asn1/ASN1Error.h"
#include "host/Log.h"

namespace kivo::asn1 {
namespace {

using namespace std::chrono;
using testing::ascii;
using testing::concat;
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

struct ValueCase {
    const char* what;
    Bytes input;
    std::optional<Value> expected;
};

TEST(ASN1DERDecoder, decodesEachPrimitiveIntoItsValue) {
    const ValueCase cases[] = {
        {"integer loses leading zeros", hex("02 03 00 00 05"), octets("05")},
        {"integer zero is empty", hex("02 01 00"), octets("")},
        {"integer keeps sign octets", hex("02 02 FF 7F"), octets("FF 7F")},
        {"bit string drops the padding count", hex("03 02 06 C0"), octets("C0")},
        {"empty bit string", hex("03 00"), octets("")},
        {"boolean true", hex("01 01 FF"), Value{true}},
        {"empty boolean", hex("01 00"), std::nullopt},
        {"null", hex("05 00"), std::nullopt},
        {"oid", hex("06 03 55 04 03"), text("2.5.4.3")},
        {"empty oid", hex("06 00"), text("")},
        {"multi-octet arcs", hex("06 09 2A 86 48 86 F7 0D 01 01 0B"),
         text("1.2.840.113549.1.1.11")},
        {"arc above 2^28", hex("06 06 2A 8F FF FF FF 7F"), text("1.2.4294967295")},
        {"first octet above 119", hex("06 02 88 01"), text("3.16.1")},
        {"unfinished last arc is dropped", hex("06 03 2A 03 86"), text("1.2.3")},
        {"arc of 2^63 wraps negative", hex("06 0B 2A 81 80 80 80 80 80 80 80 80 00"),
         text("1.2.-9223372036854775808")},
        {"utf8 string", hex("0C 03 41 42 43"), text("ABC")},
        {"invalid utf8", hex("0C 02 C3 28"), std::nullopt},
        {"overlong utf8", hex("0C 02 C0 80"), std::nullopt},
        {"printable string", concat({hex("13 05"), ascii("Alice")}), text("Alice")},
        {"ia5 above 0x7F", hex("16 02 41 E9"), std::nullopt},
        {"bmp string", hex("1E 04 00 41 00 E9"), text("A\xC3\xA9")},
        {"bmp surrogate pair", hex("1E 04 D8 3D DE 00"), text("\xF0\x9F\x98\x80")},
        {"bmp unpaired high surrogate", hex("1E 04 D8 3D 00 41"), std::nullopt},
        {"bmp lone low surrogate", hex("1E 02 DE 00"), std::nullopt},
        {"bmp odd length", hex("1E 03 00 41 00"), std::nullopt},
        {"enumerated kept as octets", hex("0A 01 01"), octets("01")},
        {"context primitive as text", hex("80 03 41 42 43"), text("ABC")},
        {"context primitive as octets", hex("80 02 FF FE"), octets("FF FE")},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(decodeOne(c.input)->value(), c.expected) << c.what;
    }
}

TEST(ASN1DERDecoder, readsTimesWithTheirPatternsAndZones) {
    const auto timeOf = [](std::uint8_t tag, std::string_view text) {
        return decodeOne(tlv(tag, ascii(text)))->timeValue();
    };
    const struct {
        std::uint8_t tag;
        const char* text;
        std::optional<TimePoint> expected;
    } cases[] = {
        {0x17, "250101120000Z", utc(2025, 1, 1, 12, 0, 0)},
        {0x17, "2501011200Z", utc(2025, 1, 1, 12, 0, 0)},
        {0x17, "491231235959Z", utc(2049, 12, 31, 23, 59, 59)},
        {0x17, "500101000000Z", utc(1950, 1, 1, 0, 0, 0)},
        {0x17, "250101120000+1000", utc(2025, 1, 1, 2, 0, 0)},
        {0x17, "2501011200-0130", utc(2025, 1, 1, 13, 30, 0)},
        {0x17, "250229000000Z", std::nullopt},
        {0x17, "251301120000Z", std::nullopt},
        {0x17, "250101120000", std::nullopt},
        {0x17, "250101120000Zjunk", std::nullopt},
        {0x18, "20250101120000Z", utc(2025, 1, 1, 12, 0, 0)},
        {0x18, "21360611180524Z", utc(2136, 6, 11, 18, 5, 24)},
        {0x18, "20250101120000.5Z", std::nullopt},
        {0x18, "250101120000Z", std::nullopt},
        {0x18, "99991231235959Z", TimePoint::max()},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(timeOf(c.tag, c.text), c.expected) << c.text;
    }
    EXPECT_FALSE(decodeOne(hex("17 02 FF FE"))->value().has_value());
}

TEST(ASN1DERDecoder, buildsTreesWithRawValuesAndParentLinks) {
    const auto sequence = decodeOne(hex("30 03 02 01 05"));
    EXPECT_EQ(sequence->rawValue(), hex("02 01 05"));
    EXPECT_FALSE(sequence->value().has_value());
    ASSERT_EQ(sequence->childCount(), 1u);
    const auto integer = sequence->childAt(0);
    EXPECT_EQ(integer->rawValue(), hex("05"));
    EXPECT_EQ(integer->parent(), sequence);

    const auto indefinite = decodeOne(hex("30 80 02 01 05 00 00"));
    EXPECT_EQ(indefinite->rawValue(), Bytes{});
    ASSERT_EQ(indefinite->childCount(), 1u);
    EXPECT_EQ(indefinite->childAt(0)->value(), octets("05"));
    EXPECT_EQ(indefinite->childAt(0)->parent(), indefinite);

    const auto pair = ASN1DERDecoder::decode(hex("30 00 02 01 05"));
    ASSERT_EQ(pair.size(), 2u);
    ASSERT_TRUE(pair[0]->sub().has_value());
    EXPECT_TRUE(pair[0]->sub()->empty());
    EXPECT_EQ(pair[1]->value(), octets("05"));

    // A context-specific primitive keeps no raw value; a released parent leaves no link.
    const auto tagged = decodeOne(hex("A0 05 80 03 41 42 43"));
    EXPECT_FALSE(tagged->childAt(0)->rawValue().has_value());
    const auto orphan = decodeOne(hex("30 03 02 01 05"))->childAt(0);
    EXPECT_EQ(orphan->parent(), nullptr);
}

TEST(ASN1DERDecoder, reReadsOctetStringsAsDerWhenTheyParse) {
    const auto wrapped = decodeOne(hex("04 02 05 00"));
    EXPECT_FALSE(wrapped->value().has_value());
    ASSERT_EQ(wrapped->childCount(), 1u);
    EXPECT_EQ(wrapped->childAt(0)->identifier()->tagNumber(), ASN1Identifier::TagNumber::null);
    EXPECT_EQ(wrapped->childAt(0)->parent(), nullptr);

    // Nested constructed nodes inside the re-read contents do get parent links.
    const auto inner = decodeOne(hex("04 05 30 03 02 01 07"))->childAt(0);
    EXPECT_EQ(inner->parent(), nullptr);
    EXPECT_EQ(inner->childAt(0)->parent(), inner);

    EXPECT_EQ(decodeOne(hex("04 02 0C 05"))->value(), text("\x0C\x05"));
    EXPECT_EQ(decodeOne(hex("04 04 02 05 01 02"))->value(), text("\x02\x05\x01\x02"));
    EXPECT_EQ(decodeOne(hex("04 03 02 05 FF"))->value(), octets("02 05 FF"));
    const auto empty = decodeOne(hex("04 00"));
    ASSERT_TRUE(empty->sub().has_value());
    EXPECT_TRUE(empty->sub()->empty());
}

TEST(ASN1DERDecoder, endOfContentsAndTagsWithoutCaseEndTheLevel) {
    EXPECT_TRUE(ASN1DERDecoder::decode(hex("00 00 02 01 05")).empty());
    EXPECT_TRUE(ASN1DERDecoder::decode(hex("1F 01 41 02 01 05")).empty());
    EXPECT_EQ(decodeOne(hex("30 06 02 01 05 0E 00 05"))->childCount(), 1u);

    // High tag numbers are never followed: the next octet is the length.
    const auto contextHigh = decodeOne(hex("9F 01 41"));
    EXPECT_EQ(contextHigh->identifier()->tagNumberField(), 31);
    EXPECT_EQ(contextHigh->value(), text("A"));
    EXPECT_EQ(decodeOne(hex("3F 03 02 01 05"))->childCount(), 1u);

    // An identifier alone at the end has empty contents.
    EXPECT_EQ(decodeOne(hex("02"))->value(), octets(""));
}

TEST(ASN1DERDecoder, readsShortLongAndIndefiniteLengths) {
    const struct {
        const char* input;
        LengthForm form;
        std::uint64_t octets;
        std::size_t left;
    } cases[] = {
        {"", LengthForm::definite, 0, 0},
        {"05 AA", LengthForm::definite, 5, 1},
        {"80", LengthForm::indefinite, 0, 0},
        {"84 00 00 00 03", LengthForm::definite, 3, 0},
        {"88 01 00 00 00 00 00 00 00", LengthForm::definite, 1ull << 56, 0},
        {"89 00 00 00 00 00 00 00 00 03", LengthForm::definite, 0, 0},
        {"82 01", LengthForm::definite, 1, 0},
        {"FF 01", LengthForm::definite, 1, 0},
    };
    for (const auto& c : cases) {
        const Bytes input = hex(c.input);
        ByteCursor cursor(input);
        const ElementLength length = ASN1DERDecoder::readLength(cursor);
        EXPECT_EQ(length.form, c.form) << c.input;
        EXPECT_EQ(length.octets, c.octets) << c.input;
        EXPECT_EQ(cursor.remaining(), c.left) << c.input;
    }

    const Bytes huge = hex("88 7F FF FF FF FF FF FF FF 41");
    ByteCursor cursor(huge);
    EXPECT_TRUE(ASN1DERDecoder::readContents(cursor).empty());
    EXPECT_EQ(cursor.remaining(), 1u);
}

TEST(ASN1DERDecoder, reportsOutOfBufferForTruncatedOrTooDeepInput) {
    const Bytes truncated[] = {
        hex("02 05 01 02"),
        hex("30 05 02 01"),
        hex("30 80 02 05 01"),
        hex("02 82 01"),
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
    Bytes indefinite;
    for (int i = 0; i < 100000; ++i) {
        indefinite.push_back(0x30);
        indefinite.push_back(0x80);
    }
    EXPECT_THROW(ASN1DERDecoder::decode(indefinite), ASN1Exception);
    // Too-deep contents of an OCTET STRING are kept as its value instead.
    EXPECT_NO_THROW(ASN1DERDecoder::decode(nested(1000, 0x04)));
}

TEST(ASN1DERDecoder, writesTheUnsupportedTagDiagnosticOnlyToTheVerboseLog) {
    kivo::testing::TempDir home;
    const auto logPath = home / "kivo-signing.log";
    host::setProcessLog(host::LogFile(logPath));
    for (const bool verbose : {false, true}) {
        host::setVerboseLogging(verbose);
        ::testing::internal::CaptureStdout();
        ASN1DERDecoder::decode(hex("0A 01 01 0D 00"));
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    }
    host::setVerboseLogging(false);
    const std::string log = kivo::testing::readFile(logPath);
    EXPECT_NE(log.find("DEBUG unsupported tag: enumerated\n"), std::string::npos) << log;
    EXPECT_NE(log.find("DEBUG unsupported tag: relativeOid\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("unsupported tag: enumerated"), log.rfind("unsupported tag: enumerated"))
        << "written while verbose logging was off:\n"
        << log;
}

}  // namespace
}  // namespace kivo::asn1
