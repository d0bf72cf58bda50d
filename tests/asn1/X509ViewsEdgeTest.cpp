// The certificate, extension and public-key views on hand-made certificates whose shape is
// unusual, and on damaged input: absent answers, never a failure after construction.

#include <gtest/gtest.h>

#include "TestBytes.h"
#include "asn1/ASN1DERDecoder.h"
#include "asn1/X509Certificate.h"

namespace kivo::asn1 {
namespace {

using testing::ascii;
using testing::concat;
using testing::hex;
using testing::tlv;

Bytes oid(std::string_view contentsHex) {
    return tlv(0x06, hex(contentsHex));
}

const Bytes keyUsageOid = oid("55 1D 0F");
const Bytes extKeyUsageOid = oid("55 1D 25");
const Bytes subjectAltNameOid = oid("55 1D 11");
const Bytes abnOid = oid("2A 24 01 82 4D 01");  // 1.2.36.1.333.1
const Bytes rsaKeyInfo = tlv(
    0x30, concat({tlv(0x30, concat({oid("2A 86 48 86 F7 0D 01 01 01"), hex("05 00")})),
                  tlv(0x03, concat({hex("00"), tlv(0x30, hex("02 04 00 C1 01 02 02 01 03"))}))}));

// A certificate with the version 3 layout around the given extension SEQUENCEs.
Bytes certificate(const Bytes& extensions, const Bytes& keyInfo = rsaKeyInfo,
                  const Bytes& version = tlv(0xA0, hex("02 01 02"))) {
    const Bytes name =
        tlv(0x30, tlv(0x31, tlv(0x30, concat({oid("55 04 03"), tlv(0x0C, ascii("Test"))}))));
    const Bytes validity =
        tlv(0x30, concat({tlv(0x17, ascii("250101000000Z")), tlv(0x17, ascii("260101000000Z"))}));
    const Bytes algorithm = tlv(0x30, oid("2A 86 48 86 F7 0D 01 01 0B"));
    const Bytes tbs = tlv(0x30, concat({version, hex("02 01 07"), algorithm, name, validity, name,
                                        keyInfo, tlv(0xA3, tlv(0x30, extensions))}));
    return tlv(0x30, concat({tbs, algorithm, hex("03 03 00 AB CD")}));
}

Bytes extension(const Bytes& extnId, const Bytes& critical, const Bytes& value) {
    return tlv(0x30, concat({extnId, critical, tlv(0x04, value)}));
}

TEST(X509Views, decidesCriticalityFromAnExplicitBooleanOnly) {
    const Bytes extensions = concat({
        extension(keyUsageOid, {}, hex("03 02 07 80")),
        extension(extKeyUsageOid, hex("01 01 00"), tlv(0x30, oid("2B 06 01 05 05 07 03 02"))),
        extension(subjectAltNameOid, hex("01 01 FF"),
                  tlv(0x30, concat({tlv(0x82, ascii("a.test")),
                                    tlv(0xA4, tlv(0x30, tlv(0x31, hex("05 00"))))}))),
        extension(abnOid, hex("02 01 01"), tlv(0x13, ascii("51824753556"))),
    });
    const auto view = X509Certificate::fromDer(certificate(extensions));
    EXPECT_EQ(view->criticalExtensionOIDs(), std::vector<std::string>{"2.5.29.17"});
    EXPECT_EQ(view->nonCriticalExtensionOIDs(),
              (std::vector<std::string>{"2.5.29.15", "2.5.29.37", "1.2.36.1.333.1"}));
    EXPECT_EQ(view->keyUsage(),
              (std::vector<bool>{true, false, false, false, false, false, false, false}));
    EXPECT_EQ(view->extendedKeyUsage(), std::vector<std::string>{"1.3.6.1.5.5.7.3.2"});
    EXPECT_EQ(view->subjectAlternativeNames(), std::vector<std::string>{"a.test"});

    const auto abn = view->extensionFor("1.2.36.1.333.1");
    ASSERT_TRUE(abn.has_value());
    EXPECT_FALSE(abn->isCritical());
    EXPECT_EQ(abn->extensionValue(), std::optional<Value>("51824753556"));
    EXPECT_EQ(view->extensionFor("2.5.29.15")->extensionValue(), std::optional<Value>(hex("80")));
    EXPECT_EQ(view->version(), 3);
    EXPECT_EQ(view->signatureValue(), hex("AB CD"));
}

TEST(X509Views, readsKeyUsageFlagsFromTheFirstOctetOnly) {
    const struct {
        Bytes value;
        std::vector<bool> expected;
    } cases[] = {
        {hex("03 02 01 C0"), {true, true, false, false, false, false, false, false}},
        {hex("03 03 07 01 80"), {false, false, false, false, false, false, false, true}},
        {{}, std::vector<bool>(8, false)},
        {hex("03 00"), std::vector<bool>(8, false)},
        {hex("03 01 00"), std::vector<bool>(8, false)},
        {hex("0C 01 41"), std::vector<bool>(8, false)},
    };
    for (const auto& c : cases) {
        const auto view =
            X509Certificate::fromDer(certificate(extension(keyUsageOid, {}, c.value)));
        EXPECT_EQ(view->keyUsage(), c.expected) << hexText(c.value);
    }
}

TEST(X509Views, ignoresOidsFoundInsideAnEarlierExtensionValue) {
    // The first 2.5.29.17 in pre-order sits directly in another extension's OCTET STRING: no
    // parent link, so there is no subjectAltName extension to be found.
    const Bytes extensions =
        concat({extension(oid("2A 03 04"), {}, subjectAltNameOid),
                extension(subjectAltNameOid, {}, tlv(0x30, tlv(0x82, ascii("b.test"))))});
    const auto view = X509Certificate::fromDer(certificate(extensions));
    EXPECT_FALSE(view->extensionFor("2.5.29.17").has_value());
    EXPECT_TRUE(view->subjectAlternativeNames().empty());
    EXPECT_EQ(view->nonCriticalExtensionOIDs(), (std::vector<std::string>{"1.2.3.4", "2.5.29.17"}));
}

TEST(X509Views, answersNoneForVersionsThatDoNotFit) {
    const auto versionOf = [](const Bytes& versionField) {
        return X509Certificate::fromDer(certificate({}, rsaKeyInfo, versionField))->version();
    };
    EXPECT_EQ(versionOf(tlv(0xA0, hex("02 01 00"))), 1);
    EXPECT_EQ(versionOf(hex("02 09 00 80 00 00 00 00 00 00 01")), std::nullopt);
    EXPECT_EQ(versionOf(hex("02 08 7F FF FF FF FF FF FF FF")), std::nullopt);
    EXPECT_EQ(versionOf(hex("02 08 7F FF FF FF FF FF FF FE")), 0x7FFFFFFFFFFFFFFF);
    EXPECT_EQ(versionOf(tlv(0xA0, hex("0C 01 41"))), std::nullopt);
}

TEST(X509Views, readsPublicKeysOnlyOfTheKnownAlgorithms) {
    const auto keyOf = [](const Bytes& keyInfo) {
        return X509Certificate::fromDer(certificate({}, keyInfo))->publicKey().value();
    };
    const auto rsa = keyOf(rsaKeyInfo);
    EXPECT_EQ(rsa.keyBytes(), hex("C1 01 02"));
    EXPECT_EQ(rsa.rsaComponents(), std::pair(hex("C1 01 02"), hex("03")));

    const auto dsa = keyOf(
        tlv(0x30, concat({tlv(0x30, oid("2A 86 48 CE 38 04 01")), tlv(0x03, hex("00 02 01 05"))})));
    EXPECT_EQ(dsa.algorithmOid(), "1.2.840.10040.4.1");
    EXPECT_EQ(dsa.algorithmName(), "dsa");
    EXPECT_FALSE(dsa.keyBytes().has_value());
    EXPECT_FALSE(dsa.rsaComponents().has_value());

    const Bytes rsaAlgorithm = tlv(0x30, oid("2A 86 48 86 F7 0D 01 01 01"));
    const Bytes brokenKeys[] = {
        tlv(0x03, hex("00 30 05 02 01")),              // truncated RSAPublicKey
        tlv(0x03, hex("00 30 03 02 01 05")),           // no exponent
        tlv(0x03, hex("00 30 06 02 01 05 0C 01 41")),  // exponent not an INTEGER
        tlv(0x04, hex("30 00")),                       // not a BIT STRING value
    };
    for (const auto& keyField : brokenKeys) {
        const auto key = keyOf(tlv(0x30, concat({rsaAlgorithm, keyField})));
        EXPECT_EQ(key.algorithmName(), "rsaEncryption");
        EXPECT_FALSE(key.rsaComponents().has_value()) << hexText(keyField);
    }
    EXPECT_FALSE(keyOf(tlv(0x30, rsaAlgorithm)).keyBytes().has_value());
}

TEST(X509Certificate, failsConstructionOnlyWithTheDocumentedErrors) {
    const Bytes der = certificate({});
    const struct {
        const char* what;
        Bytes input;
        bool pem;
        ASN1Error expected;
    } cases[] = {
        {"empty", {}, false, ASN1Error::parseError},
        {"first node without children", hex("05 00 30 03 02 01 05"), false, ASN1Error::parseError},
        {"empty sequence", hex("30 00"), false, ASN1Error::parseError},
        {"truncated", Bytes(der.begin(), der.end() - 1), false, ASN1Error::outOfBuffer},
        {"no marker", ascii("MIIB"), true, ASN1Error::parseError},
        {"not ascii", ascii("-----BEGIN CERTIFICATE-----\n\xC3\xA9\n"), true,
         ASN1Error::parseError},
        {"not base64", ascii("-----BEGIN CERTIFICATE-----\nMI*B\n-----END CERTIFICATE-----\n"),
         true, ASN1Error::parseError},
        {"empty body", ascii("-----BEGIN CERTIFICATE-----\n-----END CERTIFICATE-----\n"), true,
         ASN1Error::parseError},
        {"nested begin", ascii("-----BEGIN CERTIFICATE-----\n-----BEGIN CERTIFICATE-----\nMAA=\n"),
         true, ASN1Error::parseError},
    };
    for (const auto& c : cases) {
        try {
            if (c.pem) {
                X509Certificate::fromPem(c.input);
            } else {
                X509Certificate::fromDer(c.input);
            }
            ADD_FAILURE() << c.what << ": no error";
        } catch (const ASN1Exception& error) {
            EXPECT_EQ(error.error(), c.expected) << c.what;
        }
    }
    // DER that happens to be UTF-8 text without the marker is read as DER; bytes after the
    // Certificate SEQUENCE are kept but ignored.
    const auto textLike = X509Certificate::fromData(hex("30 03 02 01 05 05 00"));
    EXPECT_EQ(textLike->asn1().size(), 2u);
    EXPECT_FALSE(textLike->serial().has_value());
    const auto trailing = X509Certificate::fromDer(concat({der, hex("02 01 09")}));
    EXPECT_EQ(trailing->serial(), hex("07"));
    EXPECT_EQ(trailing->description(),
              X509Certificate::fromDer(der)->description() + "INTEGER : 09\n\n");
}

// Runs every getter; a damaged certificate may answer anything but must not fail.
std::size_t readEverything(const X509Certificate& view) {
    std::size_t answers =
        view.description().size() + view.issuerOIDs().size() + view.subjectOIDs().size() +
        view.keyUsage().size() + view.extendedKeyUsage().size() +
        view.subjectAlternativeNames().size() + view.issuerAlternativeNames().size() +
        view.criticalExtensionOIDs().size() + view.nonCriticalExtensionOIDs().size();
    answers += view.checkValidity(TimePoint{}) + view.version().has_value() +
               view.serial().has_value() + view.issuerDistinguishedName().has_value() +
               view.subjectDistinguishedName().has_value() +
               view.issuerValue(ASN1DistinguishedNames::commonName()).has_value() +
               view.subjectValue("1.2.840.113549.1.9.1").has_value() +
               view.signatureValue().has_value() + view.signatureAlgorithmName().has_value();
    if (const auto key = view.publicKey()) {
        answers += key->algorithmName().has_value() + key->algorithmParameters().has_value() +
                   key->keyBytes().has_value() + key->rsaComponents().has_value();
    }
    if (const auto aki = view.extensionFor("2.5.29.35")) {
        answers += aki->extensionValue().has_value() + aki->valueStrings().size();
    }
    return answers;
}

TEST(X509Certificate, answersEveryGetterOnTruncatedOrDamagedCertificates) {
    const Bytes der = testing::readBytes("rsa2048.der");
    std::vector<Bytes> inputs;
    for (std::size_t at = 0; at < der.size(); ++at) {
        if (at % 5 == 0) {
            inputs.emplace_back(der.begin(), der.begin() + static_cast<std::ptrdiff_t>(at));
        }
        for (const std::uint8_t flip : {0x01, 0xA0}) {
            inputs.push_back(der);
            inputs.back()[at] ^= flip;
        }
    }
    std::size_t built = 0;
    for (const auto& input : inputs) {
        try {
            readEverything(*X509Certificate::fromDer(input));
            ++built;
        } catch (const ASN1Exception&) {
            // construction may refuse damaged input; only the getters must never fail
        }
    }
    EXPECT_GT(built, der.size());  // most single-octet damage still decodes
    EXPECT_TRUE(X509Certificate::fromDer(hex("30 03 02 01 05"))->keyUsage().empty());
    EXPECT_GT(readEverything(*X509Certificate::fromDer(der)), 100u);
}

}  // namespace
}  // namespace kivo::asn1
