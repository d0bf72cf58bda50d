#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "protocol/SigningError.h"
#include "xmldsig/TestIdentity.h"
#include "xmldsig/XmlInspection.h"
#include "xmldsig/XmlSigner.h"

namespace kivo::xmldsig {
namespace {

using protocol::SigningError;
using testing::valueAt;
using testing::valuesAt;

const std::string dsig = "http://www.w3.org/2000/09/xmldsig#";

using Operation = std::function<void(XmlSigner&, const std::string& filter)>;

// Every public operation that takes a signing filter.
std::vector<std::pair<const char*, Operation>> filterOperations() {
    static testing::OpenSslPrivateKey key(testing::TestIdentity::rsa(2048).privateKeyPem());
    static const testing::DerCertificate certificate(
        testing::TestIdentity::rsa(2048).certificateDer());
    return {
        {"findOrCreateSignature",
         [](XmlSigner& s, const std::string& f) { s.findOrCreateSignature(f); }},
        {"signElement", [](XmlSigner& s, const std::string& f) { s.signElement(key, {}, f); }},
        {"addX509Data", [](XmlSigner& s, const std::string& f) { s.addX509Data(certificate, f); }},
        {"addRSAKeyValue",
         [](XmlSigner& s, const std::string& f) { s.addRSAKeyValue("bW9k", "AQAB", f); }},
    };
}

TEST(SigningFilterTest, FilterMustSelectExactlyOneElementAndFailureLeavesTreeAlone) {
    struct Case {
        std::string document;
        std::string filter;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"<Root><RenderedData/></Root>", "//CounterpartData",
         "XPath signing filter '//CounterpartData' returned 0 results (expecting 1)"},
        {"<Root><CounterpartData/><A><CounterpartData/></A><RenderedData/></Root>",
         "//CounterpartData",
         "XPath signing filter '//CounterpartData' returned 2 results (expecting 1)"},
        {"<Root><CounterpartData/></Root>", "//RenderedData",
         "XPath signing filter '//RenderedData' returned 0 results (expecting 1)"},
        {"<Root><RenderedData/><CounterpartData/><RenderedData/></Root>", "//RenderedData",
         "XPath signing filter '//RenderedData' returned 2 results (expecting 1)"},
        // Unprefixed name tests select elements in no namespace only.
        {"<Root xmlns=\"urn:a\"><CounterpartData/></Root>", "//CounterpartData",
         "XPath signing filter '//CounterpartData' returned 0 results (expecting 1)"},
        {"<Root><CounterpartData a=\"1\"/></Root>", "//CounterpartData/@a",
         "XPath signing filter '//CounterpartData/@a' selected a node that is not an element"},
        {"<Root><CounterpartData>x</CounterpartData></Root>", "//CounterpartData/text()",
         "XPath signing filter '//CounterpartData/text()' selected a node that is not an "
         "element"},
    };
    for (const Case& c : cases) {
        for (const auto& [name, operation] : filterOperations()) {
            SCOPED_TRACE(c.document + " " + name);
            XmlSigner signer(c.document);
            const std::string before = signer.canonicalText();
            try {
                operation(signer, c.filter);
                ADD_FAILURE() << "no error";
            } catch (const SigningError& error) {
                EXPECT_EQ(error.code(), protocol::error_code::badDocumentShape);
                EXPECT_EQ(error.message(), c.message);
            }
            EXPECT_EQ(signer.canonicalText(), before);
        }
    }
}

TEST(SigningFilterTest, EngineErrorsAreXPathErrorsNotSigningErrors) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"//CounterpartData[", "Invalid expression"},
        {"//CounterpartData]", "Invalid expression"},
        {"//x:CounterpartData", "Undefined namespace prefix"},
        {"//CounterpartData[nosuch()]", "Unregistered function"},
        {"count(//CounterpartData)", "The expression does not select nodes"},
        {"", "Invalid expression"},
    };
    for (const auto& [filter, description] : cases) {
        for (const auto& [name, operation] : filterOperations()) {
            SCOPED_TRACE(filter + " " + name);
            XmlSigner signer("<Root><CounterpartData/></Root>");
            ::testing::internal::CaptureStderr();
            try {
                operation(signer, filter);
                ADD_FAILURE() << "no error";
            } catch (const SigningError& error) {
                ADD_FAILURE() << "SigningError " << error.message();
            } catch (const XPathError& error) {
                EXPECT_EQ(std::string(error.what()), description);
            }
            EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
            EXPECT_EQ(signer.canonicalText(), "<Root><CounterpartData></CounterpartData></Root>");
        }
    }
}

TEST(SigningFilterTest, FreshAnchorIsAppendedAfterAllExistingChildren) {
    XmlSigner signer("<Root>\n  <CounterpartData>\n    <A>1</A>\n  </CounterpartData>\n</Root>");
    xmlNodePtr signature = signer.findOrCreateSignature("//CounterpartData");
    EXPECT_EQ(signer.canonicalText(),
              "<Root>\n  <CounterpartData>\n    <A>1</A>\n  <Signature xmlns=\"" + dsig +
                  "\"><SignedInfo></SignedInfo><SignatureValue></SignatureValue><KeyInfo></"
                  "KeyInfo></Signature></CounterpartData>\n</Root>");
    // The tree itself holds the elements in the XML-DSig namespace, as a reader would see them.
    for (xmlNodePtr node = signature; node != nullptr;
         node = node == signature ? signature->children : node->next) {
        ASSERT_NE(node->ns, nullptr);
        EXPECT_EQ(reinterpret_cast<const char*>(node->ns->href), dsig);
    }
    EXPECT_EQ(signer.findOrCreateSignature("//CounterpartData"), signature);
    EXPECT_EQ(valuesAt(signer.canonicalText(), "//ds:Signature").size(), 1u);
}

TEST(SigningFilterTest, ExistingUnprefixedSignatureIsCompletedNotDuplicated) {
    struct Case {
        const char* name;
        std::string content;   // of CounterpartData before
        std::string expected;  // of CounterpartData after
    };
    const std::string ns = "xmlns=\"" + dsig + "\"";
    const std::vector<Case> cases = {
        {"missing parts appended after present ones",
         "<Signature " + ns + "><KeyInfo>k</KeyInfo></Signature>",
         "<Signature " + ns +
             "><KeyInfo>k</KeyInfo><SignedInfo></SignedInfo><SignatureValue></SignatureValue>"
             "</Signature>"},
        {"the last of several is used",
         "<Signature " + ns + "></Signature><Signature " + ns +
             "><SignatureValue>v</SignatureValue></Signature>",
         "<Signature " + ns + "></Signature><Signature " + ns +
             "><SignatureValue>v</SignatureValue><SignedInfo></SignedInfo><KeyInfo></KeyInfo>"
             "</Signature>"},
        {"a prefixed Signature does not count",
         "<ds:Signature xmlns:ds=\"" + dsig + "\"></ds:Signature>",
         "<ds:Signature xmlns:ds=\"" + dsig + "\"></ds:Signature><Signature " + ns +
             "><SignedInfo></SignedInfo><SignatureValue></SignatureValue><KeyInfo></KeyInfo>"
             "</Signature>"},
        {"a Signature that inherits the namespace gets no declaration of its own",
         "<Signature><SignedInfo></SignedInfo></Signature>",
         "<Signature><SignedInfo></SignedInfo><SignatureValue></SignatureValue><KeyInfo>"
         "</KeyInfo></Signature>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const bool inherits = c.content.starts_with("<Signature>");
        const std::string open =
            inherits ? "<CounterpartData " + ns + ">" : std::string("<CounterpartData>");
        const std::string document = "<Root>" + open + c.content + "</CounterpartData></Root>";
        // An element in the XML-DSig namespace is no match for the unprefixed name test, so
        // that case selects by local name.
        const std::string filter =
            inherits ? "//*[local-name()='CounterpartData']" : "//CounterpartData";
        XmlSigner signer(document);
        signer.findOrCreateSignature(filter);
        EXPECT_EQ(signer.canonicalText(),
                  "<Root>" + open + c.expected + "</CounterpartData></Root>");
    }
}

}  // namespace
}  // namespace kivo::xmldsig
