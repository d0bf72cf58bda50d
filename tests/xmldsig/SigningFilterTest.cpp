#include <gtest/gtest.h>

#include <functional>

#include "protocol/SigningError.h"
#include "xmldsig/TestIdentity.h"
#include "xmldsig/XmlSigner.h"

namespace kivo::xmldsig {
namespace {

const std::string dsig = "http://www.w3.org/2000/09/xmldsig#";

// Runs every public operation that takes a signing filter on a fresh signer for `document`;
// each must fail the same way and leave the tree as it was.
template <typename Check>
void forEveryFilterOperation(const std::string& document, const std::string& filter, Check check) {
    static testing::OpenSslPrivateKey key(testing::TestIdentity::rsa(2048).privateKeyPem);
    static const testing::DerCertificate certificate(
        testing::TestIdentity::rsa(2048).certificateDer);
    const std::vector<std::function<void(XmlSigner&)>> operations = {
        [&](XmlSigner& s) { s.findOrCreateSignature(filter); },
        [&](XmlSigner& s) { s.signElement(key, std::nullopt, filter); },
        [&](XmlSigner& s) { s.addX509Data(certificate, filter); },
        [&](XmlSigner& s) { s.addRSAKeyValue("bW9k", "AQAB", filter); },
    };
    for (std::size_t i = 0; i < operations.size(); ++i) {
        SCOPED_TRACE("operation " + std::to_string(i));
        XmlSigner signer(document);
        const std::string before = signer.canonicalText();
        ::testing::internal::CaptureStderr();
        check([&] { operations[i](signer); });
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
        EXPECT_EQ(signer.canonicalText(), before);
    }
}

TEST(SigningFilterTest, FilterMustSelectExactlyOneElement) {
    const std::vector<std::tuple<std::string, std::string, std::string>> cases = {
        {"<R><RenderedData/></R>", "//CounterpartData", "returned 0 results (expecting 1)"},
        {"<R><CounterpartData/><A><CounterpartData/></A></R>", "//CounterpartData",
         "returned 2 results (expecting 1)"},
        {"<R><CounterpartData/></R>", "//RenderedData", "returned 0 results (expecting 1)"},
        {"<R><RenderedData/><RenderedData/></R>", "//RenderedData",
         "returned 2 results (expecting 1)"},
        // Unprefixed name tests select elements in no namespace only.
        {"<R xmlns=\"urn:a\"><CounterpartData/></R>", "//CounterpartData",
         "returned 0 results (expecting 1)"},
        {"<R><CounterpartData a=\"1\"/></R>", "//CounterpartData/@a",
         "selected a node that is not an element"},
    };
    for (const auto& [document, filter, outcome] : cases) {
        SCOPED_TRACE(document);
        forEveryFilterOperation(document, filter, [&](const std::function<void()>& run) {
            try {
                run();
                ADD_FAILURE() << "no error";
            } catch (const protocol::SigningError& error) {
                EXPECT_EQ(error.code(), protocol::error_code::badDocumentShape);
                EXPECT_EQ(error.message(), "XPath signing filter '" + filter + "' " + outcome);
            }
        });
    }
}

TEST(SigningFilterTest, EngineErrorsAreXPathErrorsNotSigningErrors) {
    for (const auto& [filter, description] : std::vector<std::pair<std::string, std::string>>{
             {"//CounterpartData[", "Invalid expression"},
             {"//x:CounterpartData", "Undefined namespace prefix"},
             {"//CounterpartData[nosuch()]", "Unregistered function"},
             {"count(//CounterpartData)", "The expression does not select nodes"}}) {
        SCOPED_TRACE(filter);
        forEveryFilterOperation("<R><CounterpartData/></R>", filter, [&](const auto& run) {
            try {
                run();
                ADD_FAILURE() << "no error";
            } catch (const protocol::SigningError& error) {
                ADD_FAILURE() << "SigningError " << error.message();
            } catch (const XPathError& error) {
                EXPECT_EQ(error.what(), description);
            }
        });
    }
}

TEST(SigningFilterTest, AnchorIsCreatedOnceOrCompletedInTheLastUnprefixedSignature) {
    const std::string ns = "<Signature xmlns=\"" + dsig + "\">";
    const std::string parts = "<SignedInfo></SignedInfo><SignatureValue></SignatureValue>";
    const std::string fresh = ns + parts + "<KeyInfo></KeyInfo></Signature>";
    const std::vector<std::pair<std::string, std::string>> cases = {
        // Appended after all children, trailing whitespace included, with none of its own.
        {"\n  <A>1</A>\n", "\n  <A>1</A>\n" + fresh},
        {ns + "<KeyInfo>k</KeyInfo></Signature>",
         ns + "<KeyInfo>k</KeyInfo>" + parts + "</Signature>"},
        {ns + "</Signature>" + ns + "<SignedInfo>s</SignedInfo></Signature>",
         ns + "</Signature>" + ns +
             "<SignedInfo>s</SignedInfo><SignatureValue></SignatureValue><KeyInfo></KeyInfo>"
             "</Signature>"},
        {"<ds:Signature xmlns:ds=\"" + dsig + "\"></ds:Signature>",
         "<ds:Signature xmlns:ds=\"" + dsig + "\"></ds:Signature>" + fresh},
    };
    for (const auto& [before, after] : cases) {
        SCOPED_TRACE(before);
        XmlSigner signer("<R><CounterpartData>" + before + "</CounterpartData></R>");
        xmlNodePtr signature = signer.findOrCreateSignature("//CounterpartData");
        EXPECT_EQ(signer.findOrCreateSignature("//CounterpartData"), signature);
        EXPECT_EQ(signer.canonicalText(),
                  "<R><CounterpartData>" + after + "</CounterpartData></R>");
        // In the tree, too, the anchor's elements are in the XML-DSig namespace.
        for (xmlNodePtr node = signature->children; node != nullptr; node = node->next) {
            ASSERT_NE(node->ns, nullptr);
            EXPECT_EQ(reinterpret_cast<const char*>(node->ns->href), dsig);
        }
    }
}

}  // namespace
}  // namespace kivo::xmldsig
