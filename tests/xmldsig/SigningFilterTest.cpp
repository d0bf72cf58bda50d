#include <gtest/gtest.h>

#include <libxml/parser.h>
#include <libxml/xpath.h>

#include <functional>

#include "ParsedBothWays.h"
#include "foundation/Digests.h"
#include "foundation/Encodings.h"
#include "foundation/SigningError.h"
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
    const std::vector<std::tuple<std::string, std::string, std::string>> cases = {
        {"<R><RenderedData/></R>", "//CounterpartData", "returned 0 results (expecting 1)"},
        {"<R><CounterpartData/><A><CounterpartData/></A></R>", "//CounterpartData",
         "returned 2 results (expecting 1)"},
        // Matching by the name as written still counts every match in a default namespace.
        {"<R xmlns=\"urn:a\"><CounterpartData/><A><CounterpartData/></A></R>", "//CounterpartData",
         "returned 2 results (expecting 1)"},
        // A prefixed element is not named by an unprefixed test, whatever its namespace.
        {"<R xmlns=\"urn:a\" xmlns:a=\"urn:a\"><a:CounterpartData/></R>", "//CounterpartData",
         "returned 0 results (expecting 1)"},
        {"<R><CounterpartData a=\"1\"/></R>", "//CounterpartData/@a",
         "selected a node that is not an element"},
    };
    FixedKey key;
    const std::vector<std::function<void(XmlSigner&, const std::string&)>> operations = {
        [](XmlSigner& s, const std::string& f) { s.findOrCreateSignature(f); },
        [&](XmlSigner& s, const std::string& f) { s.signElement(key, std::nullopt, f); },
        [](XmlSigner& s, const std::string& f) { s.addRSAKeyValue("bW9k", "AQAB", f); },
    };
    for (const auto& [document, filter, outcome] : cases) {
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
    const std::string mixed =
        "<p:Root xmlns:p=\"urn:p\" xmlns=\"urn:a\"><p:CounterpartData id=\"prefixed\"/>"
        "<CounterpartData id=\"default\"><div id=\"div\"/></CounterpartData>"
        "<Plain xmlns=\"\" id=\"plain\"><text id=\"text\">3</text></Plain></p:Root>";
    const struct {
        std::string filter;
        const char* selected;
    } cases[] = {
        {"//CounterpartData", "default"},
        // Engine errors, with the engine's description: no prefix is bound, and so on.
        {"/p:Root/CounterpartData", "error: Undefined namespace prefix"},
        {"//CounterpartData[unknown()]", "error: Unregistered function"},
        {"//CounterpartData[", "error: Invalid expression"},
        {"count(//CounterpartData)", "error: The expression does not select nodes"},
        {"//*[local-name()='CounterpartData'][namespace-uri()='urn:p']", "prefixed"},
        {"//*[namespace-uri()='urn:a' and @id='default']", "default"},
        {"//CounterpartData[@id = 'default']/div", "div"},
        {"//descendant-or-self :: CounterpartData /child::div", "div"},
        {"/*/CounterpartData/div[1]", "div"},
        {"//Plain[text * 2 = 6]/text", "text"},
        {"//text[. div 3 = 1 and not(self::node()/@id = 'CounterpartData')]", "text"},
        {"//*[@id='text' or @id = \"CounterpartData\"]", "text"},
        {"//Plain//text()/parent::text", "text"},
        {"//Plain/attribute::id/..", "plain"},
        {"(//CounterpartData | //Missing)[last()]", "default"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.filter);
        XmlSigner signer(mixed);
        try {
            const xmlNodePtr signature = signer.findOrCreateSignature(c.filter);
            EXPECT_EQ(attributeValue(signature->parent, "id"), c.selected);
        } catch (const XPathError& error) {
            EXPECT_EQ("error: " + std::string(error.what()), c.selected);
        }
    }
}

// Filters of the form `//N` are answered without the XPath engine; the engine's own answer to
// the same filter is the reference, on trees parsed with entities expanded and as references.
TEST(SigningFilterTest, DescendantNameFiltersSelectWhatTheEngineSelects) {
    const char* const documents[] = {
        "<R><CounterpartData/></R>",
        "<CounterpartData><RenderedData/></CounterpartData>",
        "<R xmlns=\"urn:a\"><CounterpartData/><x:RenderedData xmlns:x=\"urn:a\"/></R>",
        "<R xmlns:p=\"urn:p\"><p:CounterpartData/><CounterpartData/><p:RenderedData/></R>",
        "<R xmlns=\"urn:a\"><A xmlns=\"\"><CounterpartData/></A><CounterpartData/></R>",
        "<R CounterpartData=\"1\"><A RenderedData=\"2\"/><!--CounterpartData-->RenderedData</R>",
        "<?CounterpartData a?><R><?RenderedData b?><RenderedData/></R><?CounterpartData c?>",
        "<R><CounterpartData><CounterpartData/></CounterpartData><a-b/><a.b/><a.b/></R>",
        "<R><![CDATA[<CounterpartData/>]]><RenderedData>text</RenderedData></R>",
        "<!DOCTYPE R [<!ELEMENT CounterpartData ANY><!ENTITY e \"<CounterpartData/>\">]>"
        "<R>&e;<RenderedData>&e;</RenderedData></R>",
        "<!DOCTYPE R [<!ENTITY e \"<RenderedData/>\">]><R><CounterpartData/>&e;</R>",
    };
    const char* const filters[] = {
        "//CounterpartData", "//RenderedData", "//R", "//a-b", "//a.b", "//A"};
    for (const char* document : documents) {
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
    const struct {
        const char* document;
        std::string digestInput;
        std::size_t bytes;
    } cases[] = {
        {"<Root><CounterpartData>x</CounterpartData></Root>",
         "<CounterpartData>x</CounterpartData>", 36},
        {"<Root xmlns=\"urn:a\"><CounterpartData>x</CounterpartData></Root>",
         "<CounterpartData xmlns=\"urn:a\">x</CounterpartData>", 50},
    };
    FixedKey key;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.document);
        EXPECT_EQ(c.digestInput.size(), c.bytes);
        XmlSigner signer(c.document);
        signer.signElement(key, std::nullopt, "//CounterpartData");
        const std::string text = signer.canonicalText();
        const std::string expected =
            foundation::base64Encode(foundation::sha256Digest(foundation::byteView(c.digestInput)));
        EXPECT_NE(text.find("<DigestValue>" + expected + "</DigestValue>"), std::string::npos)
            << text;
        // The XPath text stays the filter as given, not the form the engine evaluated.
        EXPECT_NE(text.find("Filter=\"intersect\">//CounterpartData</XPath>"), std::string::npos)
            << text;
    }
}

}  // namespace
}  // namespace kivo::xmldsig
