#include <gtest/gtest.h>

#include <algorithm>

#include "host/Log.h"
#include "protocol/SigningError.h"
#include "support/TempDir.h"
#include "xmldsig/XmlSigner.h"

namespace kivo::xmldsig {
namespace {

const std::string dataFile = std::string(KIVO_TEST_DATA_DIR) + "/xmldsig/nested.xml";

TEST(DocumentLoadingTest, RejectsUnusableTextWithOneErrorLogLineAndNothingPrinted) {
    const std::string bad = "Invalid XML input: ";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"plain words", bad + "Start tag expected, '<' not found (line 1)"},
        {"<Root>\n  <CounterpartData>text",
         bad + "Premature end of data in tag CounterpartData line 2 (line 2)"},
        {"", bad + "Document is empty (line 1)"},
        // libxml2 never yields a document without a root element: the parser rejects it.
        {"<?xml version=\"1.0\"?><!-- no root -->",
         bad + "Start tag expected, '<' not found (line 1)"},
        {"<a:Root/>", bad + "Namespace prefix a on Root is not defined (line 1)"},
        {"<Root>\xff</Root>",
         bad +
             "Input is not proper UTF-8, indicate encoding ! Bytes: 0xFF 0x3C 0x2F 0x52 (line 1)"},
        {"<Root>\n<x:A xmlns:x=\"relative/path\"/></Root>",
         bad + "Relative namespace URI 'relative/path' is not allowed (line 2)"},
        {"<!DOCTYPE r [<!ENTITY e SYSTEM \"file://" + dataFile + "\">]><r>&e;</r>",
         bad + "Refused to load external resource 'file://" + dataFile + "'"},
        {"<!DOCTYPE r [<!ENTITY e SYSTEM \"http://127.0.0.1:9/e\">]><r>&e;</r>",
         bad + "Refused to load external resource 'http://127.0.0.1:9/e'"},
        {"<!DOCTYPE r [<!ENTITY % p SYSTEM \"" + dataFile + "\"> %p;]><r/>",
         bad + "Refused to load external resource '" + dataFile + "'"},
        // An external DTD is never read, so entities it would declare stay undefined.
        {"<!DOCTYPE r SYSTEM \"" + dataFile + "\"><r>&e;</r>",
         bad + "Entity 'e' not defined (line 1)"},
    };
    // Each entity holds 32 of the one before: hundreds of gigabytes once expanded.
    std::string bomb = "<!DOCTYPE r [<!ENTITY e0 \"xxxxxxxxxxxxxxxx\">";
    for (char level = '1'; level <= '7'; ++level) {
        std::string previous = std::string("&e") + static_cast<char>(level - 1) + ";";
        for (int doubling = 0; doubling < 5; ++doubling) {
            previous += previous;
        }
        bomb += std::string("<!ENTITY e") + level + " \"" + previous + "\">";
    }
    const testing::TempDir folder;
    host::setProcessLog(host::LogFile(folder / "log"));
    int lines = 0;
    for (const auto& [text, message] : cases) {
        SCOPED_TRACE(text);
        ::testing::internal::CaptureStderr();
        try {
            XmlSigner signer(text);
            ADD_FAILURE() << "accepted";
        } catch (const protocol::SigningError& error) {
            EXPECT_EQ(error.code(), protocol::error_code::invalidXml);
            EXPECT_EQ(error.message(), message);
        }
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
        const std::string log = testing::readFile(folder / "log");
        EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), ++lines);
        EXPECT_TRUE(log.ends_with(" ERROR " + message + "\n")) << log;
    }
    // libxml2's guard against entity expansion stays on.
    EXPECT_THROW(XmlSigner(bomb + "]><r>&e7;</r>"), protocol::SigningError);
    host::setProcessLog(host::LogFile(std::nullopt));
}

TEST(DocumentLoadingTest, KeepsWhitespaceAndExpandsInternalEntities) {
    const XmlSigner signer(
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
        "<!DOCTYPE Root [<!ENTITY who \"Ana &amp; Bo\"><!ENTITY part \"<P n='1'>&who;</P>\">]>\r\n"
        "<!-- leading comment --><Root b=\"2\" a=\"1\">\r\n  <Empty/>\r\n"
        "  \t<Data><![CDATA[<x> & y]]>&part;</Data>\r\n"
        "  <!-- inner --><T>caf\xC3\xA9</T>\r\n</Root>\r\n");
    EXPECT_STREQ(reinterpret_cast<const char*>(signer.xmlRootElem()->name), "Root");
    EXPECT_EQ(signer.canonicalText(),
              "<Root a=\"1\" b=\"2\">\n  <Empty></Empty>\n"
              "  \t<Data>&lt;x&gt; &amp; y<P n=\"1\">Ana &amp; Bo</P></Data>\n"
              "  <T>caf\xC3\xA9</T>\n</Root>");
    // The text is already decoded: a declared encoding does not change how it is read.
    EXPECT_EQ(
        XmlSigner("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><R>\xC3\xA9</R>").canonicalText(),
        "<R>\xC3\xA9</R>");
}

}  // namespace
}  // namespace kivo::xmldsig
