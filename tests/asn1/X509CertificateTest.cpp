// The certificate view checked against what `openssl x509` reports for the same certificates
// (the .facts files that make-certs.sh wrote beside them), and against truncated input.

#include "asn1/X509Certificate.h"

#include <gtest/gtest.h>

#include <map>

#include "TestBytes.h"
#include "foundation/Encodings.h"

namespace kivo::asn1 {
namespace {

using namespace std::chrono;
using testing::hex;
using testing::readBytes;

std::string upperHex(const Bytes& bytes) {
    return foundation::hexEncode(bytes, foundation::LetterCase::upper);
}

TEST(X509Certificate, answersWhatOpensslReports) {
    const std::string keyUsageNames[] = {"Digital Signature", "Non Repudiation", "Key Encipherment",
                                         "Data Encipherment", "Key Agreement",   "Certificate Sign",
                                         "CRL Sign",          "Encipher Only"};
    for (const std::string name : {"rsa2048", "rsa4096", "ec-p256", "ca"}) {
        SCOPED_TRACE(name);
        std::map<std::string, std::string> facts;
        for (const std::string& line : kivo::testing::linesOf(kivo::testing::readFile(
                 std::string(KIVO_TEST_DATA_DIR) + "/asn1/" + name + ".facts"))) {
            facts[line.substr(0, line.find('='))] = line.substr(line.find('=') + 1);
        }
        const auto fact = [&facts](const std::string& key) {
            return facts.contains(key) ? std::optional(facts[key]) : std::nullopt;
        };
        const auto certificate = X509Certificate::fromDer(readBytes(name + ".der"));
        EXPECT_EQ(upperHex(certificate->serial().value_or(Bytes{})), facts.at("serial"));
        EXPECT_EQ(X509Certificate::fromData(readBytes(name + ".pem"))->serial(),
                  certificate->serial());

        const TimePoint notBefore{seconds{std::stoll(facts.at("notBefore"))}};
        const TimePoint notAfter{seconds{std::stoll(facts.at("notAfter"))}};
        EXPECT_EQ(certificate->notBefore(), notBefore);
        EXPECT_EQ(certificate->notAfter(), notAfter);
        EXPECT_FALSE(certificate->checkValidity(notBefore));
        EXPECT_TRUE(certificate->checkValidity(notBefore + seconds{1}));
        EXPECT_TRUE(certificate->checkValidity(notAfter - seconds{1}));
        EXPECT_FALSE(certificate->checkValidity(notAfter));

        for (const ASN1DistinguishedNames& attribute : ASN1DistinguishedNames::all()) {
            const std::string oid(attribute.oid());
            EXPECT_EQ(certificate->subjectValue(attribute), fact("subject." + oid)) << oid;
            EXPECT_EQ(certificate->issuerValue(attribute), fact("issuer." + oid)) << oid;
        }

        const auto usage = certificate->keyUsage();
        ASSERT_EQ(usage.size(), facts.contains("keyUsage") ? 8u : 0u);
        for (std::size_t bit = 0; bit < usage.size(); ++bit) {
            EXPECT_EQ(usage[bit], facts["keyUsage"].find(keyUsageNames[bit]) != std::string::npos)
                << keyUsageNames[bit];
        }
        const auto aki = certificate->extensionFor(X509Certificate::OID_AuthorityKeyIdentifier);
        ASSERT_TRUE(aki.has_value());
        EXPECT_EQ(bytesOf(aki->block()->lastChild()->firstLeafValue()),
                  hex(facts.at("authorityKeyIdentifier")));

        const auto key = certificate->publicKey();
        ASSERT_TRUE(key.has_value());
        const auto components = key->rsaComponents();
        ASSERT_EQ(components.has_value(), facts.contains("modulus"));
        if (components) {
            EXPECT_EQ(upperHex(components->first), facts.at("modulus"));
            EXPECT_EQ(components->second, hex("01 00 01"));
        }
    }
}

// Getters on damaged certificates that still decode are the certificate fuzzer's work
// (scripts/fuzz.sh seeds it with these certificates).
TEST(X509Certificate, refusesEmptyOrTruncatedCertificates) {
    const Bytes der = readBytes("rsa2048.der");
    for (const Bytes& bad : {Bytes{}, hex("30 00"), Bytes(der.begin(), der.end() - 1)}) {
        EXPECT_THROW(X509Certificate::fromDer(bad), ASN1Exception) << bad.size();
    }
}

}  // namespace
}  // namespace kivo::asn1
