#include <gtest/gtest.h>

#include "certs/Digests.h"
#include "certs/Encodings.h"
#include "protocol/SigningError.h"
#include "xmldsig/TestIdentity.h"
#include "xmldsig/XmlInspection.h"
#include "xmldsig/XmlSigner.h"

namespace kivo::xmldsig {
namespace {

using certs::SignatureAlgorithm;
using protocol::SigningError;
using testing::TestIdentity;
using testing::valuesAt;
using Texts = std::vector<std::string>;

const std::string dsig = "http://www.w3.org/2000/09/xmldsig#";
const std::string c14n = "http://www.w3.org/TR/2001/REC-xml-c14n-20010315#WithComments";
const std::string filter2 = "http://www.w3.org/2002/06/xmldsig-filter2";
const std::string signature = "//*[local-name()='CounterpartData']/ds:Signature[last()]";
const std::string reference = signature + "/ds:SignedInfo/ds:Reference";

std::string signedCounterpart(const std::string& document, const std::optional<std::string>& name,
                              certs::PrivateKey& key) {
    XmlSigner signer(document);
    signer.signElement(key, name, "//CounterpartData");
    return signer.canonicalText();
}

TEST(SignElementTest, DigestCoversTheSignedSubtreeWithoutItsSignature) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"<R><CounterpartData>x</CounterpartData></R>", "<CounterpartData>x</CounterpartData>"},
        // Namespaces and xml: attributes in scope are rendered on the signed element.
        {"<R xmlns:a=\"urn:a\" xml:lang=\"en\"><a:B><CounterpartData>x</CounterpartData></a:B></R>",
         "<CounterpartData xmlns:a=\"urn:a\" xml:lang=\"en\">x</CounterpartData>"},
        // Comments go, the whitespace before the appended signature stays.
        {"<R>\n <CounterpartData>\n  <!-- c --><A b=\"&lt;\">1</A>\n </CounterpartData>\n</R>",
         "<CounterpartData>\n  <A b=\"&lt;\">1</A>\n </CounterpartData>"},
        {"<R><CounterpartData>a<Signature xmlns=\"" + dsig +
             "\"><KeyInfo>k</KeyInfo></Signature>b</CounterpartData></R>",
         "<CounterpartData>ab</CounterpartData>"},
    };
    testing::OpenSslPrivateKey key(TestIdentity::rsa(2048).privateKeyPem);
    for (const auto& [document, digestInput] : cases) {
        for (const auto& [name, digest] : {std::pair{"RSA_SHA1", certs::DigestAlgorithm::sha1},
                                           {"RSA_SHA256", certs::DigestAlgorithm::sha256},
                                           {"RSA_SHA512", certs::DigestAlgorithm::sha512}}) {
            SCOPED_TRACE(document + " " + name);
            EXPECT_EQ(
                valuesAt(signedCounterpart(document, name, key), reference + "/ds:DigestValue"),
                Texts{certs::base64Encode(certs::digest(digest, certs::byteView(digestInput)))});
        }
    }
}

TEST(SignElementTest, WritesTheSignedInfoLayoutAndSignsItsCanonicalForm) {
    testing::OpenSslPrivateKey key(TestIdentity::rsa(2048).privateKeyPem);
    const std::string signedInfo =
        "<CanonicalizationMethod Algorithm=\"" + c14n +
        "\"></CanonicalizationMethod><SignatureMethod "
        "Algorithm=\"http://www.w3.org/2001/04/xmldsig-more#rsa-sha256\"></SignatureMethod>"
        "<Reference URI=\"\"><Transforms><Transform Algorithm=\"" +
        filter2 + "\"><XPath xmlns=\"" + filter2 +
        "\" Filter=\"intersect\">//CounterpartData</XPath></Transform><Transform Algorithm=\"" +
        dsig + "enveloped-signature\"></Transform><Transform Algorithm=\"" + c14n +
        "\"></Transform></Transforms><DigestMethod "
        "Algorithm=\"http://www.w3.org/2001/04/xmlenc#sha256\"></DigestMethod><DigestValue>" +
        certs::base64Encode(
            certs::sha256Digest(certs::byteView("<CounterpartData>x</CounterpartData>"))) +
        "</DigestValue></Reference>";
    // SignedInfo is signed as a document subset, so its inherited namespace is rendered.
    const auto expectedSignature = key.createSignature(
        SignatureAlgorithm::rsaPkcs1Sha256,
        certs::byteView("<SignedInfo xmlns=\"" + dsig + "\">" + signedInfo + "</SignedInfo>"));
    const std::string document = "<R><CounterpartData>x</CounterpartData></R>";

    EXPECT_EQ(signedCounterpart(document, std::nullopt, key),
              "<R><CounterpartData>x<Signature xmlns=\"" + dsig + "\"><SignedInfo>" + signedInfo +
                  "</SignedInfo><SignatureValue>" +
                  certs::base64Encode(*expectedSignature.signature) +
                  "</SignatureValue><KeyInfo></KeyInfo></Signature></CounterpartData></R>");
    EXPECT_EQ(signedCounterpart(document, "default", key),
              signedCounterpart(document, "RSA_SHA256", key));
    EXPECT_EQ(valuesAt(signedCounterpart(document, "RSA_SHA1", key),
                       signature + "//@Algorithm[contains(., 'sha')]"),
              (Texts{dsig + "rsa-sha1", dsig + "sha1"}));
    EXPECT_EQ(valuesAt(signedCounterpart(document, "RSA_SHA512", key),
                       signature + "//@Algorithm[contains(., 'sha')]"),
              (Texts{"http://www.w3.org/2001/04/xmldsig-more#rsa-sha512",
                     "http://www.w3.org/2001/04/xmlenc#sha512"}));

    const int signingCalls = key.signingCalls;
    for (const std::string name : {"rsa_sha256", "RSA-SHA256", "RSA_SHA384", "", "Default"}) {
        XmlSigner signer(document);
        try {
            signer.signElement(key, name, "//CounterpartData");
            ADD_FAILURE() << "accepted " << name;
        } catch (const SigningError& error) {
            EXPECT_EQ(error.code(), protocol::error_code::unsupportedAlgorithm);
            EXPECT_EQ(error.message(), "Unsupported signature algorithm: " + name);
        }
        EXPECT_EQ(signer.canonicalText(), document);
    }
    EXPECT_EQ(key.signingCalls, signingCalls);
}

// Only the last child of a name decides whether it is reused, even when an earlier one matches.
TEST(SignElementTest, ExistingChildrenAreReusedOnlyWhenLastOfTheirName) {
    const std::string chain = "<Transform Algorithm=\"" + filter2 + "\"><XPath xmlns=\"" + filter2 +
                              "\" Filter=\"intersect\">//Old</XPath></Transform><Transform "
                              "Algorithm=\"" +
                              dsig + "enveloped-signature\"/><Transform Algorithm=\"" + c14n +
                              "\"/><Transform Algorithm=\"urn:other\"/>";
    testing::OpenSslPrivateKey key(TestIdentity::rsa(2048).privateKeyPem);
    const std::string document = signedCounterpart(
        "<R><CounterpartData>x<Signature xmlns=\"" + dsig +
            "\"><SignedInfo><SignatureMethod Algorithm=\"urn:other\"/><Reference URI=\"\">"
            "<Transforms>" +
            chain +
            "</Transforms><DigestValue>old</DigestValue></Reference>"
            "</SignedInfo></Signature></CounterpartData></R>",
        "RSA_SHA1", key);
    EXPECT_EQ(valuesAt(document, signature + "/ds:SignedInfo/*/@Algorithm"),
              (Texts{"urn:other", c14n, dsig + "rsa-sha1"}));
    EXPECT_EQ(valuesAt(document, reference + "/ds:Transforms/ds:Transform/@Algorithm"),
              (Texts{filter2, dsig + "enveloped-signature", c14n, "urn:other", filter2,
                     dsig + "enveloped-signature", c14n}));
    EXPECT_EQ(valuesAt(document, reference + "//f2:XPath"), (Texts{"//Old", "//CounterpartData"}));
    EXPECT_EQ(valuesAt(document, reference + "/ds:DigestValue"),
              Texts{certs::base64Encode(
                  certs::sha1Digest(certs::byteView("<CounterpartData>x</CounterpartData>")))});

    // The digest belongs in the first Reference; without a DigestValue there nothing is signed.
    XmlSigner signer("<R><CounterpartData><Signature xmlns=\"" + dsig +
                     "\"><SignedInfo><Reference URI=\"\"/><Reference/></SignedInfo></Signature>"
                     "</CounterpartData></R>");
    EXPECT_THROW(signer.signElement(key, "RSA_SHA1", "//CounterpartData"), SigningError);
    EXPECT_EQ(key.signingCalls, 1);
}

class UnreadableCertificate : public certs::StoredCertificate {
  public:
    certs::Bytes derBytes() const override { throw std::runtime_error("certificate gone"); }
};

TEST(SignElementTest, KeyInfoHoldsCertificateThenKeyValueEachOnOneLine) {
    const TestIdentity& identity = TestIdentity::rsa(4096);
    testing::OpenSslPrivateKey key(identity.privateKeyPem);
    XmlSigner signer("<R><CounterpartData>x</CounterpartData></R>");
    signer.signElement(key, "RSA_SHA512", "//CounterpartData");
    EXPECT_THROW(signer.addX509Data(UnreadableCertificate(), "//CounterpartData"),
                 std::runtime_error);
    signer.addX509Data(testing::DerCertificate(identity.certificateDer), "//CounterpartData");
    signer.addRSAKeyValue(identity.modulusBase64, certs::base64Encode(certs::Bytes{1, 0, 1}),
                          "//CounterpartData");
    const std::string document = signer.canonicalText();
    const std::string keyInfo = signature + "/ds:KeyInfo";

    EXPECT_EQ(valuesAt(document, keyInfo + "/*").size(), 2u);
    const Texts certificate = valuesAt(document, keyInfo + "/*[1][self::ds:X509Data]/*");
    ASSERT_EQ(certificate.size(), 1u);
    EXPECT_EQ(certs::base64DecodeStrict(certificate[0]), identity.certificateDer);
    EXPECT_EQ(valuesAt(document, keyInfo + "/*[2][self::ds:KeyValue]/ds:RSAKeyValue/*"),
              (Texts{identity.modulusBase64, "AQAB"}));
    // The strict decoder refuses line breaks; a 4096-bit signature is 684 characters.
    const Texts signatureValue = valuesAt(document, signature + "/ds:SignatureValue");
    EXPECT_EQ(signatureValue[0].size(), 684u);
    EXPECT_TRUE(certs::base64DecodeStrict(signatureValue[0]).has_value());
    EXPECT_TRUE(certs::base64DecodeStrict(identity.modulusBase64).has_value());

    signer.addX509Data(testing::DerCertificate(identity.certificateDer), "//CounterpartData");
    EXPECT_EQ(valuesAt(signer.canonicalText(), keyInfo + "/ds:X509Data").size(), 2u);
}

}  // namespace
}  // namespace kivo::xmldsig
