// Reading back a signature this host made (what --self-test checks): the digest must catch a
// changed document, and the signature value must verify only with the signer's certificate.

#include "xmldsig/SignatureCheck.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <memory>

#include "foundation/SignatureVerification.h"
#include "support/TestPki.h"
#include "xmldsig/DocumentParser.h"
#include "xmldsig/XmlSigner.h"

namespace kivo::xmldsig {
namespace {

// Jane's committed key, signing SHA-256 with RSA PKCS#1 v1.5 through OpenSSL.
class JaneKey final : public foundation::PrivateKey {
  public:
    bool isAlgorithmSupported(foundation::SignatureAlgorithm) const override { return true; }
    foundation::Bytes sign(foundation::SignatureAlgorithm,
                           std::span<const std::uint8_t> data) override {
        const std::unique_ptr<FILE, int (*)(FILE*)> file(
            std::fopen(testing::committedCertificate("jane").keyPem.c_str(), "r"), &std::fclose);
        const std::unique_ptr<EVP_PKEY, void (*)(EVP_PKEY*)> key(
            PEM_read_PrivateKey(file.get(), nullptr, nullptr, nullptr), &EVP_PKEY_free);
        const std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> context(EVP_MD_CTX_new(),
                                                                         &EVP_MD_CTX_free);
        std::size_t size = 0;
        EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get());
        EVP_DigestSign(context.get(), nullptr, &size, data.data(), data.size());
        foundation::Bytes signature(size);
        EVP_DigestSign(context.get(), signature.data(), &size, data.data(), data.size());
        return signature;
    }
};

TEST(SignatureCheck, CatchesAChangedDocumentAndAnotherSigner) {
    JaneKey key;
    XmlSigner xml("<r><CounterpartData>c</CounterpartData><RenderedData>d</RenderedData></r>");
    xml.signElement(key, std::nullopt, "//CounterpartData");
    const std::string signedText = xml.canonicalText();

    const struct {
        const char* label;
        std::string document;
        const char* certificate;  // a committed one
        bool digestMatches;
        bool verifies;
    } cases[] = {
        {"as signed", signedText, "jane", true, true},
        {"content changed", std::string(signedText).replace(signedText.find(">c<"), 3, ">C<"),
         "jane", false, true},
        {"another signer's certificate", signedText, "john", true, false},
        {"an EC certificate", signedText, "ecKey", true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const auto document = parseXmlDocument(c.document);
        const EnvelopedSignature signature =
            readEnvelopedSignature(document.get(), "//CounterpartData");
        EXPECT_EQ(signature.digestMatches, c.digestMatches);
        EXPECT_EQ(foundation::verifiesWithCertificate(
                      testing::readBytes(testing::committedCertificate(c.certificate).certDer),
                      signature.digest, foundation::byteView(signature.signedInfoText),
                      signature.signatureValue),
                  c.verifies);
    }
    const auto unsigned_ = parseXmlDocument(signedText);
    EXPECT_THROW(readEnvelopedSignature(unsigned_.get(), "//RenderedData"),
                 foundation::SigningError);
}

}  // namespace
}  // namespace kivo::xmldsig
