#include "asn1/ASN1Object.h"

#include <gtest/gtest.h>

#include "TestBytes.h"
#include "asn1/ASN1DERDecoder.h"

namespace kivo::asn1 {
namespace {

using Class = ASN1Identifier::Class;
using TagNumber = ASN1Identifier::TagNumber;
using testing::ascii;
using testing::concat;
using testing::hex;
using testing::tlv;

std::shared_ptr<ASN1Object> decodeFirst(const Bytes& bytes) {
    return ASN1DERDecoder::decode(bytes).at(0);
}

Bytes oid(std::string_view contentsHex) {
    return tlv(0x06, hex(contentsHex));
}

Bytes attribute(std::string_view oidHex, std::string_view value) {
    return tlv(0x31, tlv(0x30, concat({oid(oidHex), tlv(0x0C, ascii(value))})));
}

TEST(ASN1Identifier, readsClassConstructedFlagAndTagNumber) {
    const struct {
        std::uint8_t octet;
        Class typeClass;
        bool constructed;
        TagNumber tag;
        const char* description;
    } cases[] = {
        {0x30, Class::universal, true, TagNumber::sequence, "sequence"},
        {0x09, Class::universal, false, TagNumber::read, "read"},
        {0x1F, Class::universal, false, TagNumber::endOfContent, "endOfContent"},
        {0x2E, Class::universal, true, TagNumber::endOfContent, "endOfContent"},
        {0xA0, Class::contextSpecific, true, TagNumber::endOfContent, "contextSpecific(0)"},
        {0x41, Class::application, false, TagNumber::boolean, "application(1)"},
        {0xE3, Class::private_, true, TagNumber::bitString, "private(3)"},
        {0x8F, Class::contextSpecific, false, TagNumber::endOfContent, "contextSpecific(0)"},
    };
    for (const auto& c : cases) {
        const ASN1Identifier identifier(c.octet);
        EXPECT_EQ(identifier.typeClass(), c.typeClass) << int{c.octet};
        EXPECT_EQ(identifier.isConstructed(), c.constructed) << int{c.octet};
        EXPECT_EQ(identifier.isPrimitive(), !c.constructed) << int{c.octet};
        EXPECT_EQ(identifier.tagNumber(), c.tag) << int{c.octet};
        EXPECT_EQ(identifier.description(), c.description) << int{c.octet};
    }
    for (const std::uint8_t raw : {14, 15, 31, 32, 255}) {
        EXPECT_FALSE(ASN1Identifier::tagNumberFromRaw(raw).has_value()) << int{raw};
    }
    EXPECT_EQ(ASN1Identifier::tagNumberFromRaw(30), TagNumber::bmpString);
    EXPECT_EQ(ASN1Identifier::classFromRaw(0xC0), Class::private_);
    EXPECT_FALSE(ASN1Identifier::classFromRaw(0x20).has_value());
}

TEST(ASN1Object, answersChildrenOnlyInsideTheirRange) {
    const auto sequence = decodeFirst(hex("30 06 02 01 01 02 01 02"));
    EXPECT_EQ(sequence->childCount(), 2u);
    EXPECT_EQ(sequence->childAt(-1), nullptr);
    EXPECT_EQ(sequence->childAt(2), nullptr);
    EXPECT_EQ(sequence->childAt(1)->value(), std::optional<Value>(hex("02")));
    EXPECT_EQ(sequence->lastChild(), sequence->childAt(1));

    const auto leaf = sequence->childAt(0);
    EXPECT_EQ(leaf->childAt(0), nullptr);
    EXPECT_EQ(leaf->childCount(), 0u);
    EXPECT_EQ(leaf->lastChild(), nullptr);
}

TEST(ASN1Object, findsTheFirstOidInPreOrderWithoutEnteringOidNodes) {
    // Name with two OUs: the first one wins.
    const auto name = decodeFirst(
        tlv(0x30, concat({attribute("55 04 0B", "First"), attribute("55 04 0B", "Second")})));
    const auto hit = name->findOid("2.5.4.11");
    ASSERT_NE(hit, nullptr);
    EXPECT_EQ(hit->parent()->lastChild()->textValue(), "First");
    EXPECT_EQ(name->findOid("2.5.4.3"), nullptr);

    // A constructed [6] node counts as an OID node: neither matched nor searched.
    const auto hidden = decodeFirst(tlv(0x30, tlv(0xA6, oid("55 04 03"))));
    EXPECT_EQ(hidden->findOid("2.5.4.3"), nullptr);
    // A context-specific primitive [6] with the OID text as its value is matched.
    const auto tagged = decodeFirst(tlv(0x30, tlv(0x86, ascii("2.5.4.3"))));
    EXPECT_NE(tagged->findOid("2.5.4.3"), nullptr);

    // The node itself is never compared, and hits inside re-read OCTET STRINGs have no parent.
    EXPECT_EQ(decodeFirst(oid("55 04 03"))->findOid("2.5.4.3"), nullptr);
    const auto wrapped = decodeFirst(tlv(0x30, tlv(0x04, tlv(0x30, oid("55 04 03")))));
    const auto inner = wrapped->findOid("2.5.4.3");
    ASSERT_NE(inner, nullptr);
    EXPECT_NE(inner->parent(), nullptr);
    EXPECT_EQ(inner->parent()->parent(), nullptr);
}

TEST(ASN1Object, rendersTreeTextWithNamesAndBraces) {
    const auto sequence =
        decodeFirst(tlv(0x30, concat({oid("55 04 03"), tlv(0x13, ascii("Alice"))})));
    EXPECT_EQ(sequence->description(),
              "SEQUENCE {\n"
              "    OBJECTIDENTIFIER : 2.5.4.3 (commonName)\n"
              "    PRINTABLESTRING : Alice\n"
              "}\n");

    const auto mixed = decodeFirst(
        tlv(0xA0, concat({oid("2A 03"), hex("01 01 FF 03 02 00 AB 30 00 05 00 86 03 32 2E 35")})));
    EXPECT_EQ(mixed->treeText("  "),
              "  CONTEXTSPECIFIC(0) {\n"
              "      OBJECTIDENTIFIER : 1.2.3\n"
              "      BOOLEAN : true\n"
              "      BITSTRING : AB\n"
              "      SEQUENCE\n"
              "      NULL\n"
              "      CONTEXTSPECIFIC(6) : 2.5\n"
              "  }\n");
}

TEST(ASN1Object, followsFirstChildrenToTheFirstLeafValue) {
    EXPECT_EQ(decodeFirst(hex("30 08 A0 03 02 01 02 02 01 07"))->firstLeafValue(),
              std::optional<Value>(hex("02")));
    EXPECT_FALSE(decodeFirst(hex("30 04 30 00 02 00"))->firstLeafValue().has_value());
    EXPECT_EQ(decodeFirst(hex("01 01 01"))->firstLeafValue(), std::optional<Value>(true));
}

}  // namespace
}  // namespace kivo::asn1
