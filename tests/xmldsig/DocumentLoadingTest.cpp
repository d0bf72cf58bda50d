#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "foundation/Log.h"
#include "foundation/SigningError.h"
#include "support/TempDir.h"
#include "xmldsig/XmlSigner.h"

namespace kivo::xmldsig {
namespace {

using namespace std::string_literals;

const std::string dataFile = std::string(KIVO_TEST_DATA_DIR) + "/xmldsig/nested.xml";

// Four nested elements declaring 256 namespaces each (the most an element may carry), then
// `leaves` empty elements on line 2 with all 1024 in scope. The four cost 2,228,224
// canonicalization work and each leaf 1024^2, against a bound of 2^30: 1021 leaves stay within.
std::string manyNamespacesInScope(int leaves) {
    std::string text;
    for (int level = 0; level < 4; ++level) {
        text += "<e";
        for (int i = 0; i < 256; ++i) {
            text += " xmlns:n" + std::to_string(level * 256 + i) + "=\"urn:n\"";
        }
        text += ">";
    }
    text += "\n";
    for (int i = 0; i < leaves; ++i) {
        text += "<a/>";
    }
    return text + "</e></e></e></e>";
}

TEST(DocumentLoadingTest, RejectsUnusableTextWithOneErrorLogLineAndNothingPrinted) {
    const std::string bad = "Invalid XML input: ";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"plain words", bad + "Start tag expected, '<' not found (line 1)"},
        {"<Root>\n  <CounterpartData>text",
         bad + "Premature end of data in tag CounterpartData line 2 (line 2)"},
        {"", bad + "Document is empty (line 1)"},
        {"<a:Root/>", bad + "Namespace prefix a on Root is not defined (line 1)"},
        {"<Root>\n<x:A xmlns:x=\"relative/path\"/></Root>",
         bad + "Relative namespace URI 'relative/path' is not allowed (line 2)"},
        // Taken for UCS-4 by its first bytes; the failed conversion has no parser context and
        // used to be printed on stderr instead of staying with the parse.
        {"<\0\0\0R\0\0\0>\0\0\0\0\0\0\0"s, bad + "switching encoding: encoder error (line 1)"},
        {"<!DOCTYPE r [<!ENTITY e SYSTEM \"file://" + dataFile + "\">]><r>&e;</r>",
         bad + "Refused to load external resource 'file://" + dataFile + "'"},
        {"<!DOCTYPE r [<!ENTITY % p SYSTEM \"" + dataFile + "\"> %p;]><r/>",
         bad + "Refused to load external resource '" + dataFile + "'"},
        // An external DTD is never read, so entities it would declare stay undefined.
        {"<!DOCTYPE r SYSTEM \"" + dataFile + "\"><r>&e;</r>",
         bad + "Entity 'e' not defined (line 1)"},
        // A defaulted namespace declaration would be a tree node on every element of the type.
        {"<!DOCTYPE r [<!ATTLIST r xmlns CDATA \"urn:r\">]><r/>",
         bad + "the DTD gives namespace declaration 'xmlns' of element 'r' a default value"},
        {"<!DOCTYPE r [<!ATTLIST e a CDATA #IMPLIED xmlns:p CDATA #FIXED \"urn:p\">]><r/>",
         bad + "the DTD gives namespace declaration 'xmlns:p' of element 'e' a default value"},
        {manyNamespacesInScope(1022), bad +
                                          "too many namespace declarations in scope and attributes "
                                          "for Canonical XML (line 2)"},
    };
    const testing::TempDir folder;
    foundation::setProcessLog(foundation::LogFile(folder / "log"));
    int lines = 0;
    for (const auto& [text, message] : cases) {
        SCOPED_TRACE(text.substr(0, 100));
        ::testing::internal::CaptureStderr();
        try {
            XmlSigner signer(text);
            ADD_FAILURE() << "accepted";
        } catch (const foundation::SigningError& error) {
            EXPECT_EQ(error.code(), foundation::error_code::invalidXml);
            EXPECT_EQ(error.message(), message);
        }
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
        const std::string log = testing::readFile(folder / "log");
        EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), ++lines);
        EXPECT_TRUE(log.ends_with(" ERROR " + message + "\n")) << log;
    }
    foundation::setProcessLog(foundation::LogFile(std::nullopt));
}

TEST(DocumentLoadingTest, DtdDefaultsOtherThanNamespaceDeclarationsAreAccepted) {
    EXPECT_NO_THROW(
        XmlSigner("<!DOCTYPE r [<!ATTLIST r xmlns:p CDATA #IMPLIED a CDATA \"x\" "
                  "b CDATA #FIXED \"y\">]><r><p:e xmlns:p=\"urn:p\"/></r>"));
    // Defaulted attributes are bounded by the document's size: sixteen on every element of a
    // document made of nothing else stay within it.
    std::string sixteen = "<!DOCTYPE r [<!ATTLIST p";
    for (int i = 0; i < 16; ++i) {
        sixteen += " a" + std::to_string(i) + " CDATA \"v\"";
    }
    sixteen += ">]><r>";
    for (int i = 0; i < 20000; ++i) {
        sixteen += "<p/>";
    }
    EXPECT_NO_THROW(XmlSigner(sixteen + "</r>"));
    // One element fewer than the canonicalization-work bound refuses.
    EXPECT_NO_THROW(XmlSigner(manyNamespacesInScope(1021)));
}

// A tree the parser accepted can still defeat Canonical XML (a relative namespace URI added
// after parsing): the answer and its ERROR log line are those of a document that cannot be read.
TEST(DocumentLoadingTest, CanonicalizationFailureIsInvalidXmlWithItsLogLine) {
    const testing::TempDir folder;
    foundation::setProcessLog(foundation::LogFile(folder / "log"));
    XmlSigner signer("<Root><CounterpartData>x</CounterpartData></Root>");
    ASSERT_NE(xmlNewNs(signer.xmlRootElem(), reinterpret_cast<const xmlChar*>("relative/path"),
                       reinterpret_cast<const xmlChar*>("x")),
              nullptr);
    const std::vector<std::function<void()>> canonicalForms = {
        [&] { (void)signer.canonicalText(); },
        [&] { (void)canonicalSubtreeText(signer.xmlRootElem()); },
    };
    for (std::size_t i = 0; i < canonicalForms.size(); ++i) {
        SCOPED_TRACE(i);
        try {
            canonicalForms[i]();
            ADD_FAILURE() << "canonicalized";
        } catch (const foundation::SigningError& error) {
            EXPECT_EQ(error.code(), foundation::error_code::invalidXml);
            EXPECT_TRUE(error.message().starts_with("Invalid XML input: ")) << error.message();
            EXPECT_GT(error.message().size(), std::string("Invalid XML input: ").size());
            const std::string log = testing::readFile(folder / "log");
            EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), static_cast<long>(i + 1));
            EXPECT_TRUE(log.ends_with(" ERROR " + error.message() + "\n")) << log;
        }
    }
    foundation::setProcessLog(foundation::LogFile(std::nullopt));
}

}  // namespace
}  // namespace kivo::xmldsig
