// The certificate view checked against what `openssl x509` reports for the same certificates
// (the .facts files that make-certs.sh wrote beside them), and against truncated input.

#include "asn1/X509Certificate.h"

#include <gtest/gtest.h>

#include <algorithm>

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

const std::string keyUsageNames[] = {"Digital Signature", "Non Repudiation", "Key Encipherment",
                                     "Data Encipherment", "Key Agreement",   "Certificate Sign",
                                     "CRL Sign",          "Encipher Only"};

class OpensslCertificate : public ::testing::TestWithParam<std::string> {
  protected:
    void SetUp() override {
        const std::string text = kivo::testing::readFile(std::string(KIVO_TEST_DATA_DIR) +
                                                         "/asn1/" + GetParam() + ".facts");
        for (const std::string& line : kivo::testing::linesOf(text)) {
            const auto equals = line.find('=');
            facts.emplace_back(line.substr(0, equals), line.substr(equals + 1));
        }
    }
    std::optional<std::string> fact(std::string_view key) const {
        const auto it = std::ranges::find(facts, key, &std::pair<std::string, std::string>::first);
        return it == facts.end() ? std::nullopt : std::optional(it->second);
    }
    std::string expect(std::string_view key) const { return fact(key).value_or("?"); }
    TimePoint epoch(std::string_view key) const {
        return TimePoint{seconds{std::stoll(expect(key))}};
    }

    std::vector<std::pair<std::string, std::string>> facts;
    std::shared_ptr<X509Certificate> certificate =
        X509Certificate::fromDer(readBytes(GetParam() + ".der"));
};

TEST_P(OpensslCertificate, answersWhatOpensslReports) {
    EXPECT_EQ(upperHex(certificate->serial().value_or(Bytes{})), expect("serial"));
    const Bytes pem = readBytes(GetParam() + ".pem");
    EXPECT_EQ(X509Certificate::fromData(pem)->serial(), certificate->serial());

    const TimePoint notBefore = epoch("notBefore");
    const TimePoint notAfter = epoch("notAfter");
    EXPECT_EQ(certificate->notBefore(), notBefore);
    EXPECT_EQ(certificate->notAfter(), notAfter);
    EXPECT_FALSE(certificate->checkValidity(notBefore));
    EXPECT_TRUE(certificate->checkValidity(notBefore + seconds{1}));
    EXPECT_TRUE(certificate->checkValidity(notAfter - seconds{1}));
    EXPECT_FALSE(certificate->checkValidity(notAfter));

    for (const ASN1DistinguishedNames& name : ASN1DistinguishedNames::all()) {
        const std::string oid(name.oid());
        EXPECT_EQ(certificate->subjectValue(name), fact("subject." + oid)) << oid;
        EXPECT_EQ(certificate->issuerValue(name), fact("issuer." + oid)) << oid;
    }

    const auto usage = certificate->keyUsage();
    const auto named = fact("keyUsage");
    ASSERT_EQ(usage.size(), named ? 8u : 0u);
    for (std::size_t bit = 0; bit < usage.size(); ++bit) {
        EXPECT_EQ(usage[bit], named->find(keyUsageNames[bit]) != std::string::npos)
            << keyUsageNames[bit];
    }
    const auto aki = certificate->extensionFor(X509Certificate::OID_AuthorityKeyIdentifier);
    ASSERT_TRUE(aki.has_value());
    EXPECT_EQ(bytesOf(aki->block()->lastChild()->firstLeafValue()),
              hex(expect("authorityKeyIdentifier")));

    const auto key = certificate->publicKey();
    ASSERT_TRUE(key.has_value());
    const auto components = key->rsaComponents();
    ASSERT_EQ(components.has_value(), fact("modulus").has_value());
    if (components) {
        EXPECT_EQ(upperHex(components->first), expect("modulus"));
        EXPECT_EQ(components->second, hex("01 00 01"));
    }
}

INSTANTIATE_TEST_SUITE_P(Certificates, OpensslCertificate,
                         ::testing::Values("rsa2048", "rsa4096", "ec-p256", "ca"),
                         [](const auto& info) {
                             std::string name = info.param;
                             std::erase(name, '-');
                             return name;
                         });

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
