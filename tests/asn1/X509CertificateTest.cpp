// The certificate views checked against what `openssl x509` reports for the same certificates
// (the .facts files that make-certs.sh wrote beside them).

#include "asn1/X509Certificate.h"

#include <gtest/gtest.h>

#include <sstream>

#include "TestBytes.h"

namespace kivo::asn1 {
namespace {

using namespace std::chrono;
using testing::ascii;
using testing::hex;
using testing::readBytes;

std::string readText(const std::string& name) {
    return kivo::testing::readFile(testing::dataFile(name));
}

using Facts = std::vector<std::pair<std::string, std::string>>;

Facts readFacts(const std::string& name) {
    Facts facts;
    std::istringstream stream(readText(name + ".facts"));
    for (std::string line; std::getline(stream, line);) {
        const auto equals = line.find('=');
        facts.emplace_back(line.substr(0, equals), line.substr(equals + 1));
    }
    return facts;
}

std::optional<std::string> fact(const Facts& facts, std::string_view key) {
    for (const auto& [k, value] : facts) {
        if (k == key) {
            return value;
        }
    }
    return std::nullopt;
}

TimePoint epoch(const std::string& seconds) {
    return TimePoint{std::chrono::seconds{std::stoll(seconds)}};
}

const std::string keyUsageNames[] = {"Digital Signature", "Non Repudiation", "Key Encipherment",
                                     "Data Encipherment", "Key Agreement",   "Certificate Sign",
                                     "CRL Sign",          "Encipher Only"};

class OpensslCertificate : public ::testing::TestWithParam<std::string> {
  protected:
    Facts facts = readFacts(GetParam());
    std::shared_ptr<X509Certificate> certificate =
        X509Certificate::fromDer(readBytes(GetParam() + ".der"));
    std::string expect(std::string_view key) const { return fact(facts, key).value_or("?"); }
};

TEST_P(OpensslCertificate, answersSerialVersionDatesAndNamesAsOpensslReports) {
    EXPECT_EQ(certificate->version(), 3);
    EXPECT_EQ(hexText(certificate->serial().value_or(Bytes{})), expect("serial"));
    EXPECT_EQ(certificate->signatureAlgorithmOID(), "1.2.840.113549.1.1.11");
    EXPECT_EQ(certificate->signatureAlgorithmName(), expect("signatureAlgorithm"));

    const TimePoint notBefore = epoch(expect("notBefore"));
    const TimePoint notAfter = epoch(expect("notAfter"));
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
}

TEST_P(OpensslCertificate, answersKeyUsageAndAuthorityKeyIdAsOpensslReports) {
    const auto usage = certificate->keyUsage();
    const auto named = fact(facts, "keyUsage");
    ASSERT_EQ(usage.size(), named ? 8u : 0u);
    for (std::size_t bit = 0; bit < usage.size(); ++bit) {
        EXPECT_EQ(usage[bit], named->find(keyUsageNames[bit]) != std::string::npos)
            << keyUsageNames[bit];
    }
    const auto aki = certificate->extensionFor("2.5.29.35");
    ASSERT_TRUE(aki.has_value());
    EXPECT_EQ(aki->extensionName(), "authorityKeyIdentifier");
    EXPECT_EQ(bytesOf(aki->extensionValue()), hex(expect("authorityKeyIdentifier")));
}

TEST_P(OpensslCertificate, answersThePublicKeyAsOpensslReports) {
    const auto key = certificate->publicKey();
    ASSERT_TRUE(key.has_value());
    if (const auto point = fact(facts, "ecPoint")) {
        EXPECT_EQ(key->algorithmName(), "ecPublicKey");
        EXPECT_EQ(key->algorithmParameters(), "1.2.840.10045.3.1.7");
        EXPECT_EQ(oidName(*key->algorithmParameters()), expect("curve"));
        EXPECT_EQ(key->keyBytes(), hex(*point));
        EXPECT_EQ(key->keyBytes()->size(), 65u);
        EXPECT_FALSE(key->rsaComponents().has_value());
        return;
    }
    EXPECT_EQ(key->algorithmName(), "rsaEncryption");
    EXPECT_FALSE(key->algorithmParameters().has_value());
    const auto components = key->rsaComponents();
    ASSERT_TRUE(components.has_value());
    EXPECT_EQ(hexText(components->first), expect("modulus"));
    EXPECT_EQ(key->keyBytes(), components->first);
    EXPECT_EQ(expect("exponent"), "65537");
    EXPECT_EQ(components->second, hex("01 00 01"));
}

TEST_P(OpensslCertificate, readsTheSameFromPemAndFromData) {
    const Bytes pem = readBytes(GetParam() + ".pem");
    const std::string expected = certificate->description();
    EXPECT_EQ(X509Certificate::fromPem(pem)->description(), expected);
    EXPECT_EQ(X509Certificate::fromData(pem)->description(), expected);
    EXPECT_EQ(X509Certificate::fromData(readBytes(GetParam() + ".der"))->description(), expected);

    Bytes crlf;
    for (const std::uint8_t c : pem) {
        if (c == '\n') {
            crlf.push_back('\r');
        }
        crlf.push_back(c);
    }
    crlf.push_back('\r');
    crlf.push_back('\n');
    EXPECT_EQ(X509Certificate::fromPem(crlf)->description(), expected);
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
    // The serial's top bit is set, so its DER INTEGER carries a zero octet the view drops.
    EXPECT_EQ(certificate->block1()->childAt(1)->rawValue()->front(), 0x00);

    EXPECT_EQ(certificate->criticalExtensionOIDs(), std::vector<std::string>{"2.5.29.15"});
    EXPECT_EQ(certificate->nonCriticalExtensionOIDs(),
              (std::vector<std::string>{"2.5.29.19", "2.5.29.37", "2.5.29.17", "2.5.29.35",
                                        "1.2.36.1.333.1", "2.5.29.14"}));
    EXPECT_EQ(certificate->extendedKeyUsage(),
              (std::vector<std::string>{"1.3.6.1.5.5.7.3.2", "1.3.6.1.5.5.7.3.4"}));
    // IP 10.1.2.3 happens to be valid UTF-8 and so counts as text; 192.168.1.1 and the
    // directory name do not.
    EXPECT_EQ(certificate->subjectAlternativeNames(),
              (std::vector<std::string>{"jane@example.com", "jane.example.com",
                                        "https://example.com/jane", "\x0A\x01\x02\x03"}));
    EXPECT_TRUE(certificate->issuerAlternativeNames().empty());

    const auto abn = certificate->extensionFor("1.2.36.1.333.1");
    ASSERT_TRUE(abn.has_value());
    EXPECT_EQ(abn->extensionValue(), std::optional<Value>("51824753556"));
    EXPECT_FALSE(abn->extensionName().has_value());
    EXPECT_FALSE(certificate->extensionFor("2.5.29.32").has_value());

    const auto longLived = X509Certificate::fromDer(readBytes("rsa4096.der"));
    EXPECT_EQ(longLived->issuerAlternativeNames(),
              (std::vector<std::string>{"ca@kivo.test", "http://ca.kivo.test/"}));
    EXPECT_EQ(longLived->subjectDistinguishedName(), "CN=Kivo Long Lived, O=Kivo");
}

TEST(X509Certificate, joinsTheBodiesOfConsecutivePemBlocks) {
    const std::string ec = readText("ec-p256.pem");
    const std::string rsa = readText("rsa2048.pem");
    ASSERT_EQ(readBytes("ec-p256.der").size() % 3, 0u) << "the EC body must need no padding";
    const auto joined = X509Certificate::fromPem(ascii(ec + rsa));
    EXPECT_EQ(joined->asn1().size(), 2u);
    EXPECT_EQ(joined->serial(), hex("01"));
    // Padding in the middle of the joined body is not Base64.
    EXPECT_THROW(X509Certificate::fromPem(ascii(rsa + ec)), ASN1Exception);
}

}  // namespace
}  // namespace kivo::asn1
