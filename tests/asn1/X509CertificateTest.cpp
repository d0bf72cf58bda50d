// The certificate views checked against what `openssl x509` reports for the same certificates
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
    EXPECT_EQ(certificate->version(), 3);
    EXPECT_EQ(upperHex(certificate->serial().value_or(Bytes{})), expect("serial"));
    EXPECT_EQ(certificate->signatureAlgorithmName(), expect("signatureAlgorithm"));

    const TimePoint notBefore = epoch("notBefore");
    const TimePoint notAfter = epoch("notAfter");
    EXPECT_EQ(certificate->notBefore(), notBefore);
    EXPECT_EQ(certificate->notAfter(), notAfter);
    EXPECT_FALSE(certificate->checkValidity(notBefore));
    EXPECT_TRUE(certificate->checkValidity(notBefore + seconds{1}));
    EXPECT_TRUE(certificate->checkValidity(notAfter - seconds{1}));
    EXPECT_FALSE(certificate->checkValidity(notAfter));

    std::vector<std::string> subjectOids, issuerOids;
    for (const auto& [key, value] : facts) {
        if (key.starts_with("subject.")) {
            subjectOids.push_back(key.substr(8));
            EXPECT_EQ(certificate->subjectValue(subjectOids.back()), value) << key;
        } else if (key.starts_with("issuer.")) {
            issuerOids.push_back(key.substr(7));
            EXPECT_EQ(certificate->issuerValue(issuerOids.back()), value) << key;
        }
    }
    EXPECT_EQ(certificate->subjectOIDs(), subjectOids);
    EXPECT_EQ(certificate->issuerOIDs(), issuerOids);
    EXPECT_EQ(certificate->issuerDistinguishedName(),
              "CN=Kivo Test Root CA, O=Kivo Test CA, C=AU, E=ca@kivo.test");

    const auto usage = certificate->keyUsage();
    const auto named = fact("keyUsage");
    ASSERT_EQ(usage.size(), named ? 8u : 0u);
    for (std::size_t bit = 0; bit < usage.size(); ++bit) {
        EXPECT_EQ(usage[bit], named->find(keyUsageNames[bit]) != std::string::npos)
            << keyUsageNames[bit];
    }
    const auto aki = certificate->extensionFor("2.5.29.35");
    ASSERT_TRUE(aki.has_value());
    EXPECT_EQ(bytesOf(aki->extensionValue()), hex(expect("authorityKeyIdentifier")));

    const Bytes pem = readBytes(GetParam() + ".pem");
    EXPECT_EQ(X509Certificate::fromData(pem)->description(), certificate->description());

    const auto key = certificate->publicKey();
    ASSERT_TRUE(key.has_value());
    if (const auto point = fact("ecPoint")) {
        EXPECT_EQ(oidName(*key->algorithmParameters()), expect("curve"));
        EXPECT_EQ(key->keyBytes(), hex(*point));
        EXPECT_FALSE(key->rsaComponents().has_value());
        return;
    }
    const auto components = key->rsaComponents();
    ASSERT_TRUE(components.has_value());
    EXPECT_EQ(upperHex(components->first), expect("modulus"));
    EXPECT_EQ(components->second, hex("01 00 01"));
}

INSTANTIATE_TEST_SUITE_P(Certificates, OpensslCertificate,
                         ::testing::Values("rsa2048", "rsa4096", "ec-p256", "ca"),
                         [](const auto& info) {
                             std::string name = info.param;
                             std::erase(name, '-');
                             return name;
                         });

TEST(X509Certificate, readsTheSignersNamesAndExtensions) {
    const auto certificate = X509Certificate::fromDer(readBytes("rsa2048.der"));
    EXPECT_EQ(certificate->subjectDistinguishedName(),
              "CN=Jane Citizen, OU=Signing, O=\"Example, Inc.\", L=Melbourne, ST=Victoria, C=AU, "
              "E=jane@example.com");
    EXPECT_EQ(certificate->criticalExtensionOIDs(), std::vector<std::string>{"2.5.29.15"});
    EXPECT_EQ(certificate->extendedKeyUsage(),
              (std::vector<std::string>{"1.3.6.1.5.5.7.3.2", "1.3.6.1.5.5.7.3.4"}));
    // IP 10.1.2.3 happens to be valid UTF-8 and so counts as text; 192.168.1.1 and the
    // directory name do not.
    EXPECT_EQ(certificate->subjectAlternativeNames(),
              (std::vector<std::string>{"jane@example.com", "jane.example.com",
                                        "https://example.com/jane", "\x0A\x01\x02\x03"}));
    EXPECT_EQ(certificate->extensionFor("1.2.36.1.333.1")->extensionValue(),
              std::optional<Value>("51824753556"));
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
