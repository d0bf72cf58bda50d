#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include "support/TempDir.h"
#include "support/XmlsecVerifier.h"
#include "xmldsig/TestIdentity.h"
#include "xmldsig/XmlInspection.h"
#include "xmldsig/XmlSigner.h"

namespace kivo::xmldsig {
namespace {

using testing::TestIdentity;
using testing::XmlsecVerdict;

// Every corpus document holds the markers "counterpart-marker" and "rendered-marker" inside the
// two signed elements and "outside-marker" outside both.
struct CorpusCase {
    const char* name;
    std::string file;
    std::optional<std::string> algorithm;
    int keyBits = 2048;
    bool crlf = false;
    std::string counterpartFilter = "//CounterpartData";
    std::string renderedFilter = "//RenderedData";
    bool counterpartInsideRendered = false;
};

const std::vector<CorpusCase> corpus = {
    {"namespaces on ancestors, escaped attributes", "namespaces.xml", std::nullopt},
    {"comments, CDATA, entities, non-ASCII", "mixed-content.xml", "RSA_SHA1"},
    {"the same with CR LF line ends", "mixed-content.xml", "RSA_SHA512", 2048, true},
    {"existing unprefixed Signature", "existing-signature.xml", "default"},
    {"RenderedData first, 4096-bit key", "rendered-first.xml", "RSA_SHA512", 4096},
    {"CounterpartData inside RenderedData", "nested.xml", "RSA_SHA256", 2048, false,
     "//CounterpartData", "//RenderedData", true},
    {"filters with characters that need escaping", "selected-by-attribute.xml", "RSA_SHA1", 2048,
     false, "//CounterpartData[@kind = \"a&b<c\"]", "//Rendering/RenderedData[@version='1']"},
};

std::string readCorpusFile(const CorpusCase& c) {
    const std::string text =
        testing::readFile(std::string(KIVO_TEST_DATA_DIR) + "/xmldsig/" + c.file);
    return c.crlf ? std::regex_replace(text, std::regex("\n"), "\r\n") : text;
}

std::string signLikeASignRequest(const std::string& text, const CorpusCase& c) {
    const TestIdentity& identity = TestIdentity::rsa(c.keyBits);
    testing::OpenSslPrivateKey key(identity.privateKeyPem);
    const testing::DerCertificate certificate(identity.certificateDer);
    XmlSigner signer(text);
    for (const std::string& filter : {c.counterpartFilter, c.renderedFilter}) {
        signer.signElement(key, c.algorithm, filter);
        signer.addX509Data(certificate, filter);
        signer.addRSAKeyValue(identity.modulusBase64, "AQAB", filter);
    }
    return signer.canonicalText();
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) {
        text.replace(at, from.size(), to);
    }
    return text;
}

void expectVerdicts(const std::string& document, const TestIdentity& identity,
                    XmlsecVerdict counterpart, XmlsecVerdict rendered) {
    std::string output;
    EXPECT_EQ(
        testing::verifyWithXmlsec(document, "CounterpartData", identity.certificatePem, output),
        counterpart)
        << output;
    EXPECT_EQ(testing::verifyWithXmlsec(document, "RenderedData", identity.certificatePem, output),
              rendered)
        << output;
}

TEST(IndependentVerificationTest, BothSignaturesVerifyAndDetectTampering) {
    const XmlsecVerdict valid = XmlsecVerdict::valid;
    const XmlsecVerdict invalid = XmlsecVerdict::invalid;
    for (const CorpusCase& c : corpus) {
        SCOPED_TRACE(c.name);
        const TestIdentity& identity = TestIdentity::rsa(c.keyBits);
        const std::string signedDocument = signLikeASignRequest(readCorpusFile(c), c);

        // A verifier evaluates the filter text found in the signature: it must be the filter.
        std::vector<std::string> xpaths = testing::valuesAt(signedDocument, "//f2:XPath");
        std::vector<std::string> filters = {c.counterpartFilter, c.renderedFilter};
        std::sort(xpaths.begin(), xpaths.end());
        std::sort(filters.begin(), filters.end());
        EXPECT_EQ(xpaths, filters);

        expectVerdicts(signedDocument, identity, valid, valid);
        expectVerdicts(replaced(signedDocument, "counterpart-marker", "counterpart-markeR"),
                       identity, invalid, c.counterpartInsideRendered ? invalid : valid);
        expectVerdicts(replaced(signedDocument, "rendered-marker", "rendered-markeR"), identity,
                       valid, invalid);
        expectVerdicts(replaced(signedDocument, "outside-marker", "outside-markeR"), identity,
                       valid, valid);
    }
}

// Several megabytes with both signed elements large; the signature must still verify and a
// change deep inside must still be caught.
TEST(IndependentVerificationTest, LargeDocument) {
    std::string text = "<Archive>\n";
    const auto rows = [&text](const char* kind, int count) {
        for (int i = 0; i < count; ++i) {
            text += "    <Row n=\"" + std::to_string(i) + "\" kind=\"" + kind +
                    "\"><Cell>value &amp; text " + std::to_string(i * 7919) +
                    "</Cell><!-- note --><Cell>\xC3\xA9t\xC3\xA9</Cell></Row>\n";
        }
    };
    text += "  <CounterpartData>\n";
    rows("c", 30000);
    text += "    <Deep>counterpart-marker</Deep>\n";
    rows("c", 10000);
    text += "  </CounterpartData>\n  <Outside>outside-marker</Outside>\n  <RenderedData>\n";
    rows("r", 20000);
    text += "    <Deep>rendered-marker</Deep>\n  </RenderedData>\n</Archive>\n";
    ASSERT_GT(text.size(), 5u * 1024 * 1024);

    const CorpusCase c{"large", "", "RSA_SHA256"};
    const TestIdentity& identity = TestIdentity::rsa(2048);
    const std::string signedDocument = signLikeASignRequest(text, c);
    expectVerdicts(signedDocument, identity, XmlsecVerdict::valid, XmlsecVerdict::valid);
    expectVerdicts(replaced(signedDocument, "counterpart-marker", "counterpart-markeR"), identity,
                   XmlsecVerdict::invalid, XmlsecVerdict::valid);
}

}  // namespace
}  // namespace kivo::xmldsig
