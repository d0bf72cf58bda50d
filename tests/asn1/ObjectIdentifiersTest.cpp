#include "asn1/ObjectIdentifiers.h"

#include <gtest/gtest.h>

#include "TestBytes.h"
#include "asn1/ASN1DERDecoder.h"

namespace kivo::asn1 {
namespace {

using testing::ascii;
using testing::concat;
using testing::hex;
using testing::tlv;

struct Attribute {
    const char* oidHex;
    std::uint8_t stringTag;
    std::string value;
};

// A Name with one attribute per RDN, in the given order.
std::string nameText(std::initializer_list<Attribute> attributes) {
    Bytes rdns;
    for (const auto& a : attributes) {
        const Bytes pair = concat({tlv(0x06, hex(a.oidHex)), tlv(a.stringTag, ascii(a.value))});
        const Bytes rdn = tlv(0x31, tlv(0x30, pair));
        rdns.insert(rdns.end(), rdn.begin(), rdn.end());
    }
    return distinguishedNameText(*ASN1DERDecoder::decode(tlv(0x30, rdns)).at(0));
}

constexpr const char* cn = "55 04 03";
constexpr const char* c = "55 04 06";
constexpr const char* o = "55 04 0A";
constexpr const char* ou = "55 04 0B";
constexpr const char* email = "2A 86 48 86 F7 0D 01 09 01";
constexpr const char* businessCategory = "55 04 0F";

TEST(ObjectIdentifiers, namesExactlyTheKnownOids) {
    EXPECT_EQ(oidNameTable().size(), 58u);
    const struct {
        const char* oid;
        std::optional<std::string> name;
    } cases[] = {
        {"1.2.840.113549.1.1.11", "sha256WithRSAEncryption"},
        {"2.23.140.1.2.2", "extendedValidation"},
        {"2.23.140.1.1", "extendedValidation"},
        {"1.2.840.113549.1.7.3", std::nullopt},
        {"2.5.4.3.", std::nullopt},
        {"02.5.4.3", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& entry : cases) {
        EXPECT_EQ(oidName(entry.oid), entry.name) << entry.oid;
    }
}

TEST(ObjectIdentifiers, listsTheTwelveNameAttributesInDisplayOrder) {
    std::string labels;
    for (const auto& attribute : ASN1DistinguishedNames::all()) {
        labels += attribute.representation() + " ";
    }
    EXPECT_EQ(labels, "CN DNQ SERIALNUMBER GIVENNAME SURNAME OU O STREET L ST C E ");
    EXPECT_EQ(&ASN1DistinguishedNames::countryName(), &ASN1DistinguishedNames::all()[10]);
}

TEST(ObjectIdentifiers, rendersNamesInTableOrderWithQuotedSpecialValues) {
    const struct {
        std::string expected;
        std::string actual;
    } cases[] = {
        {"CN=Jane Citizen, OU=Signing, O=Example Pty Ltd, C=AU, E=jane@example.com",
         nameText({{c, 0x13, "AU"},
                   {o, 0x0C, "Example Pty Ltd"},
                   {ou, 0x0C, "Signing"},
                   {cn, 0x0C, "Jane Citizen"},
                   {email, 0x16, "jane@example.com"}})},
        {"CN=Bob, C=AU", nameText({{c, 0x13, "AU"}, {cn, 0x13, "Bob"}})},
        {"O=\"Example, Inc.\"", nameText({{o, 0x0C, "Example, Inc."}})},
        {"CN=\"a;b\", OU=\"#1\", O=\"x\ny\"",
         nameText({{cn, 0x0C, "a;b"}, {ou, 0x0C, "#1"}, {o, 0x0C, "x\ny"}})},
        {"CN=\"a\\b\"", nameText({{cn, 0x0C, "a\\b"}})},
        {"CN=say \"hi\"", nameText({{cn, 0x0C, "say \"hi\""}})},
        {"CN=First", nameText({{cn, 0x0C, "First"}, {cn, 0x0C, "Second"}})},
        {"", nameText({{businessCategory, 0x0C, "Retail"}})},
        {"CN=", nameText({{cn, 0x1E, std::string("\xD8\x00", 2)}})},
        {"CN=, C=AU", nameText({{cn, 0x02, "\x01"}, {c, 0x13, "AU"}})},
    };
    for (const auto& entry : cases) {
        EXPECT_EQ(entry.actual, entry.expected);
    }
}

}  // namespace
}  // namespace kivo::asn1
