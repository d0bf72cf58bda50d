#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "foundation/SigningError.h"
#include "support/ScopedLog.h"
#include "support/TestCases.h"
#include "xmldsig/XmlSigner.h"

namespace kivo::xmldsig {
namespace {

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

// Runs `operation`, which must fail as Invalid XML input (with `reason` after that prefix, when
// given), print nothing, and leave its message on the last of `lines` ERROR lines in the log.
void expectInvalidXml(const std::function<void()>& operation, const testing::ScopedLog& log,
                      long lines, const std::string& reason = "") {
    const std::string prefix = "Invalid XML input: ";
    ::testing::internal::CaptureStderr();
    try {
        operation();
        ADD_FAILURE() << "accepted";
    } catch (const foundation::SigningError& error) {
        EXPECT_EQ(error.code(), foundation::error_code::invalidXml);
        EXPECT_TRUE(reason.empty() ? error.message().starts_with(prefix) &&
                                         error.message().size() > prefix.size()
                                   : error.message() == prefix + reason)
            << error.message();
        const std::string written = log.text();
        EXPECT_EQ(std::count(written.begin(), written.end(), '\n'), lines);
        EXPECT_TRUE(written.ends_with(" ERROR " + error.message() + "\n")) << written;
    }
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

// The cases of tests/data/xmldsig/cases.json, and namespaces in scope past the bound. A UCS-4
// document's failed conversion has no parser context and used to be printed on stderr instead
// of staying with the parse; an external DTD is never read, so entities it would declare stay
// undefined; a defaulted namespace declaration would be a tree node on every element of the type.
TEST(DocumentLoadingTest, RejectsUnusableTextWithOneErrorLogLineAndNothingPrinted) {
    std::vector<std::pair<std::string, std::string>> cases{
        {manyNamespacesInScope(1022),
         "too many namespace declarations in scope and attributes for Canonical XML (line 2)"}};
    std::string rows = testing::testCases("xmldsig/cases.json", "unusable documents").dump();
    for (std::size_t at; (at = rows.find("$FILE")) != std::string::npos;) {
        rows.replace(at, 5, dataFile);
    }
    for (const auto& c : nlohmann::json::parse(rows)) {
        cases.emplace_back(c[0], c[1]);
    }
    const testing::ScopedLog log;
    long lines = 0;
    for (const auto& [text, reason] : cases) {
        SCOPED_TRACE(text.substr(0, 100));
        expectInvalidXml([&text] { XmlSigner signer(text); }, log, ++lines, reason);
    }
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
    const testing::ScopedLog log;
    XmlSigner signer("<Root><CounterpartData>x</CounterpartData></Root>");
    ASSERT_NE(xmlNewNs(signer.xmlRootElem(), reinterpret_cast<const xmlChar*>("relative/path"),
                       reinterpret_cast<const xmlChar*>("x")),
              nullptr);
    SCOPED_TRACE("the whole document, then a subtree");
    expectInvalidXml([&] { (void)signer.canonicalText(); }, log, 1);
    expectInvalidXml([&] { (void)canonicalSubtreeText(signer.xmlRootElem()); }, log, 2);
}

}  // namespace
}  // namespace kivo::xmldsig
