#include "certs/RsaKey.h"

#include <gtest/gtest.h>

#include "foundation/Encodings.h"
#include "foundation/SigningError.h"
#include "support/TempDir.h"

namespace kivo::certs {
namespace {

// The certificates and the facts `openssl x509` reported about them (tests/data/asn1).
Bytes certificateBytes(const std::string& name) {
    return testing::readBytes(std::string(KIVO_TEST_DATA_DIR) + "/asn1/" + name);
}

TEST(RsaKeyTest, GivesFullModulusAndShortExponentAndRefusesOtherKeys) {
    const auto components =
        rsaPublicKeyComponents(*asn1::X509Certificate::fromDer(certificateBytes("rsa2048.der")));
    ASSERT_EQ(components.modulus.size(), 256u);
    const std::string facts =
        testing::readFile(std::string(KIVO_TEST_DATA_DIR) + "/asn1/rsa2048.facts");
    const auto modulus = facts.find("\nmodulus=") + 9;
    EXPECT_EQ(foundation::hexEncode(components.modulus, foundation::LetterCase::upper),
              facts.substr(modulus, 512));
    EXPECT_EQ(components.exponent, (Bytes{0x01, 0x00, 0x01}));

    const std::pair<Bytes, std::string> refused[] = {
        {certificateBytes("ec-p256.der"), "Certificate does not contain an RSA key"},
        // A TBSCertificate holding only version and serial.
        {{0x30, 0x0a, 0x30, 0x08, 0xa0, 0x03, 0x02, 0x01, 0x02, 0x02, 0x01, 0x01},
         "Certificate does not contain a public key"},
    };
    for (const auto& [der, message] : refused) {
        try {
            rsaPublicKeyComponents(*asn1::X509Certificate::fromDer(der));
            ADD_FAILURE() << "accepted; expected " << message;
        } catch (const foundation::SigningError& error) {
            EXPECT_EQ(error.code(), 105);
            EXPECT_EQ(error.message(), message);
        }
    }
}

}  // namespace
}  // namespace kivo::certs
