#include <gtest/gtest.h>

#include <libxml/parser.h>
#include <libxml/xpath.h>

#include <functional>

#include "ParsedBothWays.h"
#include "foundation/Digests.h"
#include "foundation/Encodings.h"
#include "foundation/SigningError.h"
#include "support/TestCases.h"
#include "xmldsig/LibxmlResources.h"
#include "xmldsig/SigningFilter.h"
#include "xmldsig/WrittenNameTests.h"
#include "xmldsig/XmlSigner.h"
#include "xmldsig/XmlTree.h"

namespace kivo::xmldsig {
namespace {

// The filter is checked before anything is signed, so no real key is needed.
class FixedKey : public foundation::PrivateKey {
  public:
    bool isAlgorithmSupported(foundation::SignatureAlgorithm) const override { return true; }
    foundation::Bytes sign(foundation::SignatureAlgorithm, std::span<const std::uint8_t>) override {
        return foundation::Bytes(256, 1);
    }
};

TEST(SigningFilterTest, FilterMustSelectExactlyOneElement) {
    FixedKey key;
    const std::vector<std::function<void(XmlSigner&, const std::string&)>> operations = {
        [](XmlSigner& s, const std::string& f) { s.findOrCreateSignature(f); },
        [&](XmlSigner& s, const std::string& f) { s.signElement(key, std::nullopt, f); },
        [](XmlSigner& s, const std::string& f) { s.addRSAKeyValue("bW9k", "AQAB", f); },
    };
    for (const auto& c : testing::testCases("xmldsig/cases.json", "one element")) {
        const std::string document = c[0], filter = c[1], outcome = c[2];
        for (std::size_t i = 0; i < operations.size(); ++i) {
            SCOPED_TRACE(document + " operation " + std::to_string(i));
            XmlSigner signer(document);
            const std::string before = signer.canonicalText();
            try {
                operations[i](signer, filter);
                ADD_FAILURE() << "no error";
            } catch (const foundation::SigningError& error) {
                EXPECT_EQ(error.code(), foundation::error_code::badDocumentShape);
                EXPECT_EQ(error.message(), "XPath signing filter '" + filter + "' " + outcome);
            }
            // A refused operation leaves the tree as it was.
            EXPECT_EQ(signer.canonicalText(), before);
        }
    }
}

// Which element a filter selects, marked by its `id` attribute. Unprefixed element names match
// the name as written, default namespace or not; every other part of XPath 1.0 keeps its meaning.
TEST(SigningFilterTest, UnprefixedNamesMatchTheNameAsWritten) {
    const std::string document = testing::testCases("xmldsig/cases.json", "names as written: the");
    for (const auto& c : testing::testCases("xmldsig/cases.json", "names as written: filter")) {
        const std::string filter = c[0], selected = c[1];
        SCOPED_TRACE(filter);
        XmlSigner signer(document);
        try {
            const xmlNodePtr signature = signer.findOrCreateSignature(filter);
            EXPECT_EQ(attributeValue(signature->parent, "id"), selected);
        } catch (const XPathError& error) {
            EXPECT_EQ("error: " + std::string(error.what()), selected);
        }
    }
}

// Filters of the form `//N` are answered without the XPath engine; the engine's own answer to
// the same filter is the reference, on trees parsed with entities expanded and as references.
TEST(SigningFilterTest, DescendantNameFiltersSelectWhatTheEngineSelects) {
    const auto& filters =
        testing::testCases("xmldsig/cases.json", "descendant name filters: filters");
    for (const std::string document :
         testing::testCases("xmldsig/cases.json", "descendant name filters: documents")) {
        for (const auto& [tree, description] : parsedBothWays(document)) {
            for (const std::string filter : filters) {
                SCOPED_TRACE(description + " " + filter);
                const XPathContextHandle context(xmlXPathNewContext(tree.get()));
                const std::string expression = matchNamesAsWritten(filter);
                const XPathObjectHandle engine(xmlXPathEval(
                    reinterpret_cast<const xmlChar*>(expression.c_str()), context.get()));
                ASSERT_NE(engine, nullptr);
                const int count = engine->nodesetval != nullptr ? engine->nodesetval->nodeNr : 0;
                try {
                    const xmlNodePtr selected = selectSignedElement(tree.get(), filter);
                    ASSERT_EQ(count, 1);
                    EXPECT_EQ(selected, engine->nodesetval->nodeTab[0]);
                } catch (const foundation::SigningError& error) {
                    EXPECT_EQ(error.message(), "XPath signing filter '" + filter + "' returned " +
                                                   std::to_string(count) +
                                                   " results (expecting 1)");
                }
            }
        }
    }
}

// The digest input is the signed element's canonical form: with the default namespace in scope
// it carries that declaration, as any verifier's canonicalization renders it.
TEST(SigningFilterTest, DigestInputOfDefaultNamespaceDocuments) {
    FixedKey key;
    for (const auto& c : testing::testCases("xmldsig/cases.json", "digest input")) {
        const std::string document = c[0], digestInput = c[1];
        SCOPED_TRACE(document);
        XmlSigner signer(document);
        signer.signElement(key, std::nullopt, "//CounterpartData");
        const std::string text = signer.canonicalText();
        const std::string expected =
            foundation::base64Encode(foundation::sha256Digest(foundation::byteView(digestInput)));
        EXPECT_NE(text.find("<DigestValue>" + expected + "</DigestValue>"), std::string::npos)
            << text;
        // The XPath text stays the filter as given, not the form the engine evaluated.
        EXPECT_NE(text.find("Filter=\"intersect\">//CounterpartData</XPath>"), std::string::npos)
            << text;
    }
}

}  // namespace
}  // namespace kivo::xmldsig
