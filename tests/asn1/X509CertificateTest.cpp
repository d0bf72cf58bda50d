// The certificate views checked against what `openssl x509` reports for the same certificates
// (facts and text kept beside them by make-certs.sh).

#include "asn1/X509Certificate.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "TestBytes.h"

namespace kivo::asn1 {
namespace {

using namespace std::chrono;
using testing::hex;
using testing::readBytes;

std::string readText(const std::string& name) {
    return kivo::testing::readFile(testing::dataFile(name));
}

std::string trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    const auto last = text.find_last_not_of(" \t\r");
    return first == std::string_view::npos ? "" : std::string(text.substr(first, last - first + 1));
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        result.push_back(line);
    }
    return result;
}

// "key=value" from a facts file.
std::string fact(const std::string& facts, const std::string& key) {
    for (const auto& line : lines(facts)) {
        if (line.rfind(key + "=", 0) == 0) {
            return line.substr(key.size() + 1);
        }
    }
    ADD_FAILURE() << "no fact " << key;
    return {};
}

// The attributes under "subject=" or "issuer=" (openssl's multiline name form), in order.
std::vector<std::pair<std::string, std::string>> nameFacts(const std::string& facts,
                                                           const std::string& which) {
    std::vector<std::pair<std::string, std::string>> attributes;
    bool inside = false;
    for (const auto& line : lines(facts)) {
        if (line.empty() || line[0] != ' ') {
            inside = line == which + "=";
            continue;
        }
        if (inside) {
            const auto equals = line.find(" = ");
            attributes.emplace_back(trimmed(line.substr(0, equals)), line.substr(equals + 3));
        }
    }
    return attributes;
}

// The trimmed line after the first line of `text` that contains `heading`.
std::string lineAfter(const std::string& text, const std::string& heading) {
    const auto all = lines(text);
    for (std::size_t i = 0; i + 1 < all.size(); ++i) {
        if (all[i].find(heading) != std::string::npos) {
            return trimmed(all[i + 1]);
        }
    }
    return {};
}

// The rest of the line after the first occurrence of `label`.
std::string textAfter(const std::string& text, const std::string& label) {
    const auto start = text.find(label);
    if (start == std::string::npos) {
        return {};
    }
    const auto from = start + label.size();
    return text.substr(from, text.find('\n', from) - from);
}

// The colon-separated hex block that follows `heading`.
Bytes hexBlockAfter(const std::string& text, const std::string& heading) {
    const auto all = lines(text);
    std::string digits;
    for (std::size_t i = 0; i < all.size(); ++i) {
        if (trimmed(all[i]) != heading) {
            continue;
        }
        for (++i; i < all.size() &&
                  trimmed(all[i]).find_first_not_of("0123456789abcdef:") == std::string::npos;
             ++i) {
            digits += trimmed(all[i]);
        }
        break;
    }
    return hex(digits);
}

std::vector<std::string> splitList(const std::string& list) {
    std::vector<std::string> items;
    std::istringstream stream(list);
    for (std::string item; std::getline(stream, item, ',');) {
        items.push_back(trimmed(item));
    }
    return items;
}

// "Dec  5 18:05:20 2026 GMT"
TimePoint opensslDate(const std::string& text) {
    static const std::string months = "JanFebMarAprMayJunJulAugSepOctNovDec";
    std::istringstream stream(text);
    std::string month, clock;
    int day = 0, yearNumber = 0;
    stream >> month >> day >> clock >> yearNumber;
    const unsigned monthNumber = static_cast<unsigned>(months.find(month) / 3 + 1);
    return sys_days{year{yearNumber} / monthNumber / day} + hours{std::stoi(clock.substr(0, 2))} +
           minutes{std::stoi(clock.substr(3, 2))} + seconds{std::stoi(clock.substr(6, 2))};
}

const std::map<std::string, std::string> attributeOids{
    {"countryName", "2.5.4.6"},
    {"stateOrProvinceName", "2.5.4.8"},
    {"localityName", "2.5.4.7"},
    {"organizationName", "2.5.4.10"},
    {"organizationalUnitName", "2.5.4.11"},
    {"commonName", "2.5.4.3"},
    {"emailAddress", "1.2.840.113549.1.9.1"},
};

const std::vector<std::string> keyUsageNames{
    "Digital Signature", "Non Repudiation",  "Key Encipherment", "Data Encipherment",
    "Key Agreement",     "Certificate Sign", "CRL Sign",         "Encipher Only"};

class OpensslCertificate : public ::testing::TestWithParam<std::string> {
  protected:
    void SetUp() override {
        facts = readText(GetParam() + ".facts");
        text = readText(GetParam() + ".text");
        certificate = X509Certificate::fromDer(readBytes(GetParam() + ".der"));
    }
    std::string facts;
    std::string text;
    std::shared_ptr<X509Certificate> certificate;
};

TEST_P(OpensslCertificate, answersSerialVersionAndSignatureAsOpensslReports) {
    EXPECT_EQ(certificate->version(), 3);
    ASSERT_TRUE(certificate->serial().has_value());
    EXPECT_EQ(hexText(*certificate->serial()), fact(facts, "serial"));
    EXPECT_EQ(certificate->signatureAlgorithmOID(), "1.2.840.113549.1.1.11");
    EXPECT_EQ(certificate->signatureAlgorithmName(), textAfter(text, "Signature Algorithm: "));
    EXPECT_EQ(certificate->signatureValue(), hexBlockAfter(text, "Signature Value:"));
    EXPECT_FALSE(certificate->signatureAlgorithmParameters().has_value());
}

TEST_P(OpensslCertificate, answersNamesAsOpensslReports) {
    const struct {
        const char* which;
        std::optional<std::string> (X509Certificate::*value)(std::string_view) const;
        std::vector<std::string> (X509Certificate::*oids)() const;
    } names[] = {
        {"subject", &X509Certificate::subjectValue, &X509Certificate::subjectOIDs},
        {"issuer", &X509Certificate::issuerValue, &X509Certificate::issuerOIDs},
    };
    for (const auto& name : names) {
        std::vector<std::string> expectedOids;
        for (const auto& [attribute, value] : nameFacts(facts, name.which)) {
            const std::string oid = attributeOids.at(attribute);
            expectedOids.push_back(oid);
            EXPECT_EQ(((*certificate).*name.value)(oid), value) << name.which << " " << attribute;
        }
        EXPECT_EQ(((*certificate).*name.oids)(), expectedOids) << name.which;
    }
    EXPECT_EQ(certificate->issuerValue(ASN1DistinguishedNames::commonName()), "Kivo Test Root CA");
    EXPECT_EQ(certificate->issuerDistinguishedName(),
              "CN=Kivo Test Root CA, O=Kivo Test CA, C=AU, E=ca@kivo.test");
    EXPECT_FALSE(certificate->subjectValue("2.5.4.5").has_value());
}

TEST_P(OpensslCertificate, answersValidityAsOpensslReports) {
    const TimePoint notBefore = opensslDate(fact(facts, "notBefore"));
    const TimePoint notAfter = opensslDate(fact(facts, "notAfter"));
    EXPECT_EQ(certificate->notBefore(), notBefore);
    EXPECT_EQ(certificate->notAfter(), notAfter);
    EXPECT_FALSE(certificate->checkValidity(notBefore));
    EXPECT_TRUE(certificate->checkValidity(notBefore + seconds{1}));
    EXPECT_TRUE(certificate->checkValidity(notAfter - seconds{1}));
    EXPECT_FALSE(certificate->checkValidity(notAfter));
}

TEST_P(OpensslCertificate, answersKeyUsageAsOpensslReports) {
    const auto usage = certificate->keyUsage();
    if (text.find("X509v3 Key Usage") == std::string::npos) {
        EXPECT_TRUE(usage.empty());
        return;
    }
    const auto named = splitList(lineAfter(text, "X509v3 Key Usage"));
    ASSERT_EQ(usage.size(), 8u);
    for (std::size_t bit = 0; bit < 8; ++bit) {
        const bool reported =
            std::find(named.begin(), named.end(), keyUsageNames[bit]) != named.end();
        EXPECT_EQ(usage[bit], reported) << keyUsageNames[bit];
    }
}

TEST_P(OpensslCertificate, answersThePublicKeyAsOpensslReports) {
    const auto key = certificate->publicKey();
    ASSERT_TRUE(key.has_value());
    if (GetParam() == "ec-p256") {
        EXPECT_EQ(key->algorithmOid(), "1.2.840.10045.2.1");
        EXPECT_EQ(key->algorithmName(), "ecPublicKey");
        EXPECT_EQ(key->algorithmParameters(), "1.2.840.10045.3.1.7");
        EXPECT_EQ(oidName(*key->algorithmParameters()), "prime256v1");
        const Bytes point = hexBlockAfter(text, "pub:");
        EXPECT_EQ(point.size(), 65u);
        EXPECT_EQ(key->keyBytes(), point);
        EXPECT_FALSE(key->rsaComponents().has_value());
        return;
    }
    EXPECT_EQ(key->algorithmName(), "rsaEncryption");
    EXPECT_FALSE(key->algorithmParameters().has_value());
    const auto components = key->rsaComponents();
    ASSERT_TRUE(components.has_value());
    EXPECT_EQ(hexText(components->first), fact(facts, "Modulus"));
    EXPECT_EQ(key->keyBytes(), components->first);
    const std::string bits = text.substr(text.find("Public-Key: (") + 13);
    EXPECT_EQ(components->first.size() * 8, std::stoul(bits));
    EXPECT_NE(text.find("Exponent: 65537 (0x10001)"), std::string::npos);
    EXPECT_EQ(components->second, hex("01 00 01"));
}

TEST_P(OpensslCertificate, readsTheSameFromPemAndFromData) {
    const Bytes pem = readBytes(GetParam() + ".pem");
    const Bytes der = readBytes(GetParam() + ".der");
    const std::string expected = certificate->description();
    EXPECT_EQ(X509Certificate::fromPem(pem)->description(), expected);
    EXPECT_EQ(X509Certificate::fromData(pem)->description(), expected);
    EXPECT_EQ(X509Certificate::fromData(der)->description(), expected);

    std::string crlf;
    for (const char c : kivo::testing::readFile(testing::dataFile(GetParam() + ".pem"))) {
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    }
    crlf += "\r\n";
    EXPECT_EQ(X509Certificate::fromPem(testing::ascii(crlf))->description(), expected);
}

INSTANTIATE_TEST_SUITE_P(Certificates, OpensslCertificate,
                         ::testing::Values("rsa2048", "rsa4096", "ec-p256", "ca"),
                         [](const auto& info) {
                             std::string name = info.param;
                             name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
                             return name;
                         });

class SignerCertificate : public ::testing::Test {
  protected:
    std::string text = readText("rsa2048.text");
    std::shared_ptr<X509Certificate> certificate =
        X509Certificate::fromDer(readBytes("rsa2048.der"));
};

TEST_F(SignerCertificate, rendersItsNamesInDisplayOrder) {
    EXPECT_EQ(certificate->subjectDistinguishedName(),
              "CN=Jane Citizen, OU=Signing, O=\"Example, Inc.\", L=Melbourne, ST=Victoria, C=AU, "
              "E=jane@example.com");
    EXPECT_EQ(certificate->subjectValue(ASN1DistinguishedNames::emailAddress()),
              "jane@example.com");
    // The serial's top bit is set, so its DER INTEGER carries a zero octet the view drops.
    EXPECT_EQ(certificate->block1()->childAt(1)->rawValue()->front(), 0x00);
    EXPECT_EQ(certificate->serial(), hex("9A BC DE F0 12 34 56 78 9A"));
}

TEST_F(SignerCertificate, readsItsExtensions) {
    EXPECT_EQ(certificate->criticalExtensionOIDs(), std::vector<std::string>{"2.5.29.15"});
    EXPECT_EQ(certificate->nonCriticalExtensionOIDs(),
              (std::vector<std::string>{"2.5.29.19", "2.5.29.37", "2.5.29.17", "2.5.29.35",
                                        "1.2.36.1.333.1", "2.5.29.14"}));
    ASSERT_TRUE(certificate->extensionBlocks().has_value());
    EXPECT_EQ(certificate->extensionBlocks()->size(), 7u);

    EXPECT_EQ(lineAfter(text, "X509v3 Extended Key Usage"),
              "TLS Web Client Authentication, E-mail Protection");
    EXPECT_EQ(certificate->extendedKeyUsage(),
              (std::vector<std::string>{"1.3.6.1.5.5.7.3.2", "1.3.6.1.5.5.7.3.4"}));

    // IP 10.1.2.3 happens to be valid UTF-8 and so counts as text; 192.168.1.1 and the
    // directory name do not.
    EXPECT_EQ(lineAfter(text, "X509v3 Subject Alternative Name"),
              "email:jane@example.com, DNS:jane.example.com, URI:https://example.com/jane, "
              "IP Address:10.1.2.3, IP Address:192.168.1.1, DirName:/CN=Directory Name");
    EXPECT_EQ(certificate->subjectAlternativeNames(),
              (std::vector<std::string>{"jane@example.com", "jane.example.com",
                                        "https://example.com/jane", "\x0A\x01\x02\x03"}));
    EXPECT_TRUE(certificate->issuerAlternativeNames().empty());

    const auto aki = certificate->extensionFor("2.5.29.35");
    ASSERT_TRUE(aki.has_value());
    EXPECT_EQ(aki->extensionName(), "authorityKeyIdentifier");
    EXPECT_FALSE(aki->isCritical());
    EXPECT_EQ(bytesOf(aki->extensionValue()), hex(lineAfter(text, "Authority Key Identifier")));

    const auto abn = certificate->extensionFor("1.2.36.1.333.1");
    ASSERT_TRUE(abn.has_value());
    EXPECT_EQ(abn->extensionValue(), std::optional<Value>("51824753556"));
    EXPECT_FALSE(abn->extensionName().has_value());
    EXPECT_TRUE(certificate->extensionFor("2.5.29.15")->isCritical());
    EXPECT_FALSE(certificate->extensionFor("2.5.29.32").has_value());
}

TEST(X509Certificate, readsIssuerAlternativeNamesAndLongValidity) {
    const auto certificate = X509Certificate::fromDer(readBytes("rsa4096.der"));
    EXPECT_EQ(certificate->issuerAlternativeNames(),
              (std::vector<std::string>{"ca@kivo.test", "http://ca.kivo.test/"}));
    EXPECT_TRUE(certificate->subjectAlternativeNames().empty());
    EXPECT_TRUE(certificate->extendedKeyUsage().empty());
    EXPECT_EQ(certificate->subjectDistinguishedName(), "CN=Kivo Long Lived, O=Kivo");
}

TEST(X509Certificate, joinsTheBodiesOfConsecutivePemBlocks) {
    const std::string ec = readText("ec-p256.pem");
    const std::string rsa = readText("rsa2048.pem");
    // The EC body has no Base64 padding, so the two bodies join into two DER elements.
    const auto joined = X509Certificate::fromPem(testing::ascii(ec + rsa));
    EXPECT_EQ(joined->asn1().size(), 2u);
    EXPECT_EQ(joined->serial(), hex("01"));
    // Padding in the middle of the joined body is not Base64.
    try {
        X509Certificate::fromPem(testing::ascii(rsa + ec));
        ADD_FAILURE() << "padding inside the body was accepted";
    } catch (const ASN1Exception& error) {
        EXPECT_EQ(error.error(), ASN1Error::parseError);
    }
}

}  // namespace
}  // namespace kivo::asn1
