#include <gtest/gtest.h>

#include <string>
#include <vector>

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
using testing::DerCertificate;
using testing::OpenSslPrivateKey;
using testing::TestIdentity;
using testing::valueAt;
using testing::valuesAt;

const std::string dsig = "http://www.w3.org/2000/09/xmldsig#";
const std::string counterpartSignature = "//*[local-name()='CounterpartData']/ds:Signature[last()]";

std::string digestValue(const std::string& document) {
    return valueAt(document, counterpartSignature + "/ds:SignedInfo/ds:Reference/ds:DigestValue");
}

struct AlgorithmCase {
    const char* name;
    certs::DigestAlgorithm digest;
};
const std::vector<AlgorithmCase> algorithms = {{"RSA_SHA1", certs::DigestAlgorithm::sha1},
                                               {"RSA_SHA256", certs::DigestAlgorithm::sha256},
                                               {"RSA_SHA512", certs::DigestAlgorithm::sha512}};

TEST(SignElementTest, DigestCoversTheSignedSubtreeWithoutItsSignature) {
    struct Case {
        const char* name;
        std::string document;
        std::string digestInput;
    };
    const std::vector<Case> cases = {
        {"plain", "<Root><CounterpartData>x</CounterpartData></Root>",
         "<CounterpartData>x</CounterpartData>"},
        {"namespaces in scope are rendered on the signed element",
         "<Root xmlns:a=\"urn:a\" xmlns:z=\"urn:z\"><a:B><CounterpartData>x</CounterpartData>"
         "</a:B></Root>",
         "<CounterpartData xmlns:a=\"urn:a\" xmlns:z=\"urn:z\">x</CounterpartData>"},
        {"xml attributes are inherited",
         "<Root xml:lang=\"en\"><CounterpartData>x</CounterpartData></Root>",
         "<CounterpartData xml:lang=\"en\">x</CounterpartData>"},
        {"comments left out, whitespace before the signature kept",
         "<Root>\n <CounterpartData>\n  <!-- c --><A b=\"&lt;&amp;\">1</A>\n </CounterpartData>\n"
         "</Root>",
         "<CounterpartData>\n  <A b=\"&lt;&amp;\">1</A>\n </CounterpartData>"},
        {"an existing signature is cut out with its content",
         "<Root><CounterpartData>a<Signature xmlns=\"" + dsig +
             "\"><KeyInfo>k</KeyInfo></Signature>b</CounterpartData></Root>",
         "<CounterpartData>ab</CounterpartData>"},
    };
    OpenSslPrivateKey key(TestIdentity::rsa(2048).privateKeyPem());
    for (const Case& c : cases) {
        for (const AlgorithmCase& algorithm : algorithms) {
            SCOPED_TRACE(std::string(c.name) + " " + algorithm.name);
            XmlSigner signer(c.document);
            signer.signElement(key, algorithm.name, "//CounterpartData");
            EXPECT_EQ(digestValue(signer.canonicalText()),
                      certs::base64Encode(
                          certs::digest(algorithm.digest, certs::byteView(c.digestInput))));
        }
    }
}

TEST(SignElementTest, WritesTheSignedInfoLayoutAndSignsItsCanonicalForm) {
    const std::string input = "<Root><CounterpartData>x</CounterpartData></Root>";
    OpenSslPrivateKey key(TestIdentity::rsa(2048).privateKeyPem());
    XmlSigner signer(input);
    signer.signElement(key, std::nullopt, "//CounterpartData");

    const std::string c14n = "http://www.w3.org/TR/2001/REC-xml-c14n-20010315#WithComments";
    const std::string digest = certs::base64Encode(
        certs::sha256Digest(certs::byteView("<CounterpartData>x</CounterpartData>")));
    const std::string signedInfoContent =
        "<CanonicalizationMethod Algorithm=\"" + c14n +
        "\"></CanonicalizationMethod>"
        "<SignatureMethod Algorithm=\"http://www.w3.org/2001/04/xmldsig-more#rsa-sha256\">"
        "</SignatureMethod>"
        "<Reference URI=\"\"><Transforms>"
        "<Transform Algorithm=\"http://www.w3.org/2002/06/xmldsig-filter2\">"
        "<XPath xmlns=\"http://www.w3.org/2002/06/xmldsig-filter2\" Filter=\"intersect\">"
        "//CounterpartData</XPath></Transform>"
        "<Transform Algorithm=\"" +
        dsig + "enveloped-signature\"></Transform><Transform Algorithm=\"" + c14n +
        "\"></Transform></Transforms>"
        "<DigestMethod Algorithm=\"http://www.w3.org/2001/04/xmlenc#sha256\"></DigestMethod>"
        "<DigestValue>" +
        digest + "</DigestValue></Reference>";
    // What is signed is SignedInfo as a document subset: the inherited namespace is rendered.
    const std::string signedInfoBytes =
        "<SignedInfo xmlns=\"" + dsig + "\">" + signedInfoContent + "</SignedInfo>";
    OpenSslPrivateKey referenceKey(TestIdentity::rsa(2048).privateKeyPem());
    const certs::Bytes expectedSignature =
        *referenceKey
             .createSignature(SignatureAlgorithm::rsaPkcs1Sha256, certs::byteView(signedInfoBytes))
             .signature;

    EXPECT_EQ(signer.canonicalText(),
              "<Root><CounterpartData>x<Signature xmlns=\"" + dsig + "\"><SignedInfo>" +
                  signedInfoContent + "</SignedInfo><SignatureValue>" +
                  certs::base64Encode(expectedSignature) +
                  "</SignatureValue><KeyInfo></KeyInfo></Signature></CounterpartData></Root>");
    EXPECT_EQ(key.signingCalls(), 1);
}

TEST(SignElementTest, AlgorithmNamesSelectMethodsExactly) {
    OpenSslPrivateKey key(TestIdentity::rsa(2048).privateKeyPem());
    const std::string input = "<Root><CounterpartData>x</CounterpartData></Root>";
    const auto signedWith = [&](const std::optional<std::string>& name) {
        XmlSigner signer(input);
        signer.signElement(key, name, "//CounterpartData");
        return signer.canonicalText();
    };
    const std::string sha256 = signedWith("RSA_SHA256");
    EXPECT_EQ(signedWith(std::nullopt), sha256);
    EXPECT_EQ(signedWith("default"), sha256);

    const std::vector<std::tuple<std::string, std::string, std::string, std::size_t>> methods = {
        {"RSA_SHA1", dsig + "rsa-sha1", dsig + "sha1", 20},
        {"RSA_SHA256", "http://www.w3.org/2001/04/xmldsig-more#rsa-sha256",
         "http://www.w3.org/2001/04/xmlenc#sha256", 32},
        {"RSA_SHA512", "http://www.w3.org/2001/04/xmldsig-more#rsa-sha512",
         "http://www.w3.org/2001/04/xmlenc#sha512", 64},
    };
    for (const auto& [name, signatureMethod, digestMethod, digestSize] : methods) {
        SCOPED_TRACE(name);
        const std::string document = signedWith(name);
        const std::string signedInfo = counterpartSignature + "/ds:SignedInfo";
        EXPECT_EQ(valueAt(document, signedInfo + "/ds:SignatureMethod/@Algorithm"),
                  signatureMethod);
        EXPECT_EQ(valueAt(document, signedInfo + "/ds:Reference/ds:DigestMethod/@Algorithm"),
                  digestMethod);
        EXPECT_EQ(certs::base64DecodeStrict(digestValue(document))->size(), digestSize);
    }

    const int callsBefore = key.signingCalls();
    for (const std::string name :
         {"rsa_sha256", "RSA-SHA256", "RSA_SHA384", "", " RSA_SHA256", "Default", "RSA_SHA256\n"}) {
        SCOPED_TRACE(name);
        XmlSigner signer(input);
        try {
            signer.signElement(key, name, "//CounterpartData");
            ADD_FAILURE() << "accepted";
        } catch (const SigningError& error) {
            EXPECT_EQ(error.code(), protocol::error_code::unsupportedAlgorithm);
            EXPECT_EQ(error.message(), "Unsupported signature algorithm: " + name);
        }
        EXPECT_EQ(signer.canonicalText(), input);
    }
    EXPECT_EQ(key.signingCalls(), callsBefore);
}

// Only the last child of a name decides whether it is reused; an earlier match is ignored.
TEST(SignElementTest, ExistingSignedInfoChildrenAreReusedOnlyWhenLastOfTheirName) {
    const std::string filter2 = "http://www.w3.org/2002/06/xmldsig-filter2";
    const std::string enveloped = dsig + "enveloped-signature";
    const std::string c14n = "http://www.w3.org/TR/2001/REC-xml-c14n-20010315#WithComments";
    const std::string input = "<Root><CounterpartData>x<Signature xmlns=\"" + dsig +
                              "\"><SignedInfo>"
                              "<CanonicalizationMethod Algorithm=\"" +
                              c14n +
                              "\" Id=\"kept\"/><SignatureMethod Algorithm=\"urn:other\"/>"
                              "<Reference URI=\"\" Id=\"first\"><Transforms>"
                              "<Transform Algorithm=\"" +
                              filter2 + "\"><XPath xmlns=\"" + filter2 +
                              "\" Filter=\"intersect\">//Old</XPath></Transform>"
                              "<Transform Algorithm=\"" +
                              enveloped + "\"/><Transform Algorithm=\"" + c14n +
                              "\"/><Transform Algorithm=\"urn:other\"/></Transforms></Reference>"
                              "<Reference Id=\"no-uri\"/>"
                              "</SignedInfo></Signature></CounterpartData></Root>";
    OpenSslPrivateKey key(TestIdentity::rsa(2048).privateKeyPem());
    XmlSigner signer(input);
    // The digest belongs in the first Reference, which has no DigestValue: signing stops there
    // rather than sign a SignedInfo without a digest.
    try {
        signer.signElement(key, "RSA_SHA256", "//CounterpartData");
        ADD_FAILURE() << "no error";
    } catch (const SigningError& error) {
        EXPECT_EQ(error.code(), protocol::error_code::badDocumentShape);
        EXPECT_EQ(error.message(), "Reference element has no DigestValue child");
    }
    EXPECT_EQ(key.signingCalls(), 0);
    const std::string document = signer.canonicalText();
    const std::string signedInfo = counterpartSignature + "/ds:SignedInfo";

    EXPECT_EQ(valuesAt(document, signedInfo + "/ds:CanonicalizationMethod/@Id"),
              std::vector<std::string>{"kept"});
    EXPECT_EQ(valuesAt(document, signedInfo + "/ds:SignatureMethod/@Algorithm"),
              (std::vector<std::string>{"urn:other",
                                        "http://www.w3.org/2001/04/xmldsig-more#rsa-sha256"}));
    // The last Reference lacks URI, so a new one is appended rather than the first reused.
    EXPECT_EQ(valuesAt(document, signedInfo + "/ds:Reference/@Id"),
              (std::vector<std::string>{"first", "no-uri"}));
    EXPECT_EQ(valuesAt(document, signedInfo + "/ds:Reference[3]/@URI"),
              std::vector<std::string>{""});
    EXPECT_EQ(
        valuesAt(document, signedInfo + "/ds:Reference[3]/ds:Transforms/ds:Transform/@Algorithm"),
        (std::vector<std::string>{filter2, enveloped, c14n}));
    // The first Reference is where the digest goes, and it has no DigestValue of its own.
    EXPECT_TRUE(valuesAt(document, signedInfo + "/ds:Reference[1]/ds:DigestValue").empty());
    EXPECT_EQ(valuesAt(document, signedInfo + "/ds:Reference[1]/ds:Transforms/f2:XPath").size(),
              0u);
    EXPECT_EQ(valuesAt(document, signedInfo + "/ds:Reference[1]//f2:XPath"),
              std::vector<std::string>{"//Old"});
}

TEST(SignElementTest, TransformAppendedWhenLastTransformDiffers) {
    const std::string filter2 = "http://www.w3.org/2002/06/xmldsig-filter2";
    const std::string enveloped = dsig + "enveloped-signature";
    const std::string c14n = "http://www.w3.org/TR/2001/REC-xml-c14n-20010315#WithComments";
    const std::string input =
        "<Root><CounterpartData>x<Signature xmlns=\"" + dsig +
        "\"><SignedInfo><Reference URI=\"\"><Transforms>"
        "<Transform Algorithm=\"" +
        filter2 + "\"><XPath xmlns=\"" + filter2 +
        "\" Filter=\"intersect\">//Old</XPath></Transform>"
        "<Transform Algorithm=\"" +
        enveloped + "\"/><Transform Algorithm=\"" + c14n +
        "\"/><Transform Algorithm=\"urn:other\"/></Transforms><DigestValue>old</DigestValue>"
        "</Reference></SignedInfo></Signature></CounterpartData></Root>";
    OpenSslPrivateKey key(TestIdentity::rsa(2048).privateKeyPem());
    XmlSigner signer(input);
    signer.signElement(key, "RSA_SHA1", "//CounterpartData");
    const std::string document = signer.canonicalText();
    const std::string reference = counterpartSignature + "/ds:SignedInfo/ds:Reference";
    EXPECT_EQ(valuesAt(document, reference + "/ds:Transforms/ds:Transform/@Algorithm"),
              (std::vector<std::string>{filter2, enveloped, c14n, "urn:other", filter2, enveloped,
                                        c14n}));
    EXPECT_EQ(valuesAt(document, reference + "/ds:Transforms/ds:Transform/f2:XPath"),
              (std::vector<std::string>{"//Old", "//CounterpartData"}));
    // The existing DigestValue is reused and overwritten.
    EXPECT_EQ(valuesAt(document, reference + "/ds:DigestValue"),
              std::vector<std::string>{certs::base64Encode(
                  certs::sha1Digest(certs::byteView("<CounterpartData>x</CounterpartData>")))});
}

// A key store stand-in that reports an error for every signing request.
class FailingKey : public certs::PrivateKey {
  public:
    bool isAlgorithmSupported(SignatureAlgorithm) const override { return true; }
    certs::SignatureOutcome createSignature(SignatureAlgorithm,
                                            std::span<const std::uint8_t>) override {
        return {certs::Bytes{1}, "token removed"};
    }
};

TEST(SignElementTest, SigningErrorsPassThroughAfterTheDigestIsWritten) {
    OpenSslPrivateKey sha256Only(TestIdentity::rsa(2048).privateKeyPem(),
                                 {SignatureAlgorithm::rsaPkcs1Sha256});
    FailingKey failing;
    const std::vector<std::tuple<certs::PrivateKey*, std::string, std::int64_t, std::string>>
        cases = {
            {&sha256Only, "RSA_SHA512", 108, "Signing algorithm is not supported"},
            {&failing, "RSA_SHA256", 100, "Failed to create signature: token removed"},
        };
    for (const auto& [key, algorithm, code, message] : cases) {
        SCOPED_TRACE(message);
        XmlSigner signer("<Root><CounterpartData>x</CounterpartData></Root>");
        try {
            signer.signElement(*key, algorithm, "//CounterpartData");
            ADD_FAILURE() << "no error";
        } catch (const SigningError& error) {
            EXPECT_EQ(error.code(), code);
            EXPECT_EQ(error.message(), message);
        }
        const std::string document = signer.canonicalText();
        EXPECT_FALSE(digestValue(document).empty());
        EXPECT_EQ(valueAt(document, counterpartSignature + "/ds:SignatureValue"), "");
    }
}

class FailingCertificate : public certs::StoredCertificate {
  public:
    certs::Bytes derBytes() const override { throw std::runtime_error("certificate gone"); }
};

TEST(SignElementTest, KeyInfoHoldsCertificateThenKeyValueOnOneLineEach) {
    const TestIdentity& identity = TestIdentity::rsa(4096);
    OpenSslPrivateKey key(identity.privateKeyPem());
    const DerCertificate certificate(identity.certificateDer());
    XmlSigner signer("<Root><CounterpartData>x</CounterpartData></Root>");
    signer.signElement(key, "RSA_SHA512", "//CounterpartData");
    EXPECT_THROW(signer.addX509Data(FailingCertificate(), "//CounterpartData"), std::runtime_error);
    signer.addX509Data(certificate, "//CounterpartData");
    signer.addRSAKeyValue(identity.modulusBase64(), identity.exponentBase64(), "//CounterpartData");
    const std::string document = signer.canonicalText();
    const std::string keyInfo = counterpartSignature + "/ds:KeyInfo";

    EXPECT_EQ(valuesAt(document, keyInfo + "/*").size(), 2u);
    EXPECT_EQ(valuesAt(document, keyInfo + "/*[1][self::ds:X509Data]/*").size(), 1u);
    EXPECT_EQ(valuesAt(document, keyInfo + "/*[2][self::ds:KeyValue]/ds:RSAKeyValue/*").size(), 2u);
    const std::string certificateText =
        valueAt(document, keyInfo + "/ds:X509Data/ds:X509Certificate");
    EXPECT_EQ(certs::base64DecodeStrict(certificateText), identity.certificateDer());
    EXPECT_EQ(valueAt(document, keyInfo + "/ds:KeyValue/ds:RSAKeyValue/ds:Modulus"),
              identity.modulusBase64());
    EXPECT_EQ(valueAt(document, keyInfo + "/ds:KeyValue/ds:RSAKeyValue/ds:Exponent"), "AQAB");

    const std::string signatureValue =
        valueAt(document, counterpartSignature + "/ds:SignatureValue");
    EXPECT_EQ(signatureValue.size(), 684u);
    for (const std::string& text :
         {signatureValue, certificateText, digestValue(document), identity.modulusBase64()}) {
        EXPECT_TRUE(certs::base64DecodeStrict(text).has_value()) << text;
    }

    signer.addX509Data(certificate, "//CounterpartData");
    EXPECT_EQ(valuesAt(signer.canonicalText(), keyInfo + "/ds:X509Data").size(), 2u);
}

}  // namespace
}  // namespace kivo::xmldsig
