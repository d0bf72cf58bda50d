#include "certs/RsaKey.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "certs/Encodings.h"
#include "protocol/SigningError.h"
#include "support/TempDir.h"
#include "support/TestPki.h"

namespace kivo::certs {
namespace {

struct KeyCertificates {
    testing::TempDir dir;
    Bytes rsa, ec;
    std::string rsaModulusHex;  // as openssl reports it, upper-case
};

class RsaKeyTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        keys_ = std::make_unique<KeyCertificates>();
        const auto ca = testing::makeCa(keys_->dir.path(), "Kivo Key CA");
        const auto issue = [&](testing::KeyType type, const std::string& name) {
            testing::CertificateSpec wanted;
            wanted.keyType = type;
            return testing::issueCertificate(keys_->dir.path(), ca, wanted, name);
        };
        const auto rsa = issue(testing::KeyType::rsa2048, "rsa");
        const auto der = testing::readFile(rsa.certDer);
        keys_->rsa.assign(der.begin(), der.end());
        const auto ecDer = testing::readFile(issue(testing::KeyType::ecP256, "ec").certDer);
        keys_->ec.assign(ecDer.begin(), ecDer.end());
        const auto modulus = testing::runProgram(
            {"openssl", "x509", "-in", rsa.certPem.string(), "-noout", "-modulus"});
        keys_->rsaModulusHex = modulus.substr(modulus.find('=') + 1, 512);
    }
    static void TearDownTestSuite() { keys_.reset(); }

    static void expectRefused(const Bytes& der, const std::string& message) {
        try {
            rsaPublicKeyComponents(*asn1::X509Certificate::fromDer(der));
            ADD_FAILURE() << "accepted; expected " << message;
        } catch (const protocol::SigningError& error) {
            EXPECT_EQ(error.code(), 105);
            EXPECT_EQ(error.message(), message);
        }
    }

    static inline std::unique_ptr<KeyCertificates> keys_;
};

TEST_F(RsaKeyTest, Rsa2048GivesFullModulusAndShortExponent) {
    const auto components = rsaPublicKeyComponents(*asn1::X509Certificate::fromDer(keys_->rsa));
    ASSERT_EQ(components.modulus.size(), 256u);
    std::string expected = keys_->rsaModulusHex;
    std::ranges::transform(expected, expected.begin(),
                           [](unsigned char c) { return std::tolower(c); });
    EXPECT_EQ(hexEncode(components.modulus), expected);
    EXPECT_EQ(components.exponent, (Bytes{0x01, 0x00, 0x01}));
}

TEST_F(RsaKeyTest, RefusesCertificatesWithoutUsableRsaKey) {
    // The rsaEncryption OID inside the key info turned into md2WithRSAEncryption (…1.1.2).
    auto otherAlgorithm = keys_->rsa;
    const Bytes rsaOid = {0x06, 0x09, 0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x01, 0x01};
    const auto at = std::ranges::search(otherAlgorithm, rsaOid).begin();
    ASSERT_NE(at, otherAlgorithm.end());
    at[rsaOid.size() - 1] = 0x02;
    // A TBSCertificate holding only version and serial.
    const Bytes noKey = {0x30, 0x0a, 0x30, 0x08, 0xa0, 0x03, 0x02, 0x01, 0x02, 0x02, 0x01, 0x01};

    expectRefused(keys_->ec, "Certificate does not contain an RSA key");
    expectRefused(otherAlgorithm, "Certificate does not contain an RSA key");
    expectRefused(noKey, "Certificate does not contain a public key");
}

}  // namespace
}  // namespace kivo::certs
