#include "certs/RsaKey.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "foundation/Encodings.h"
#include "foundation/SigningError.h"
#include "support/TempDir.h"
#include "support/TestPki.h"

namespace kivo::certs {
namespace {

using foundation::hexEncode;

TEST(RsaKeyTest, GivesFullModulusAndShortExponentAndRefusesOtherKeys) {
    testing::TempDir dir;
    const auto ca = testing::makeCa(dir.path(), "Kivo Key CA");
    const auto issue = [&](testing::KeyType type, const std::string& name) {
        testing::CertificateFields wanted;
        wanted.keyType = type;
        return testing::issueCertificate(dir.path(), ca, wanted, name);
    };
    const auto derOf = [](const testing::IssuedCertificate& issued) {
        const auto der = testing::readFile(issued.certDer);
        return Bytes(der.begin(), der.end());
    };
    const auto rsa = issue(testing::KeyType::rsa2048, "rsa");
    const auto components = rsaPublicKeyComponents(*asn1::X509Certificate::fromDer(derOf(rsa)));
    ASSERT_EQ(components.modulus.size(), 256u);
    const auto modulus =
        testing::runProgram({"openssl", "x509", "-in", rsa.certPem.string(), "-noout", "-modulus"});
    std::string expected = modulus.substr(modulus.find('=') + 1, 512);
    std::ranges::transform(expected, expected.begin(),
                           [](unsigned char c) { return std::tolower(c); });
    EXPECT_EQ(hexEncode(components.modulus), expected);
    EXPECT_EQ(components.exponent, (Bytes{0x01, 0x00, 0x01}));

    const std::pair<Bytes, std::string> refused[] = {
        {derOf(issue(testing::KeyType::ecP256, "ec")), "Certificate does not contain an RSA key"},
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
