#include <gtest/gtest.h>

#include <algorithm>

#include "foundation/Log.h"
#include "foundation/SigningError.h"
#include "support/TempDir.h"
#include "xmldsig/XmlSigner.h"

namespace kivo::xmldsig {
namespace {

using namespace std::string_literals;

const std::string dataFile = std::string(KIVO_TEST_DATA_DIR) + "/xmldsig/nested.xml";

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
    };
    const testing::TempDir folder;
    foundation::setProcessLog(foundation::LogFile(folder / "log"));
    int lines = 0;
    for (const auto& [text, message] : cases) {
        SCOPED_TRACE(text);
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

// Each entity holds 32 of the one before: hundreds of gigabytes once expanded, unless libxml2's
// guard against entity expansion stays on.
TEST(DocumentLoadingTest, EntityExpansionBombIsRefused) {
    std::string bomb = "<!DOCTYPE r [<!ENTITY e0 \"xxxxxxxxxxxxxxxx\">";
    for (char level = '1'; level <= '7'; ++level) {
        std::string previous = std::string("&e") + static_cast<char>(level - 1) + ";";
        for (int doubling = 0; doubling < 5; ++doubling) {
            previous += previous;
        }
        bomb += std::string("<!ENTITY e") + level + " \"" + previous + "\">";
    }
    EXPECT_THROW(XmlSigner(bomb + "]><r>&e7;</r>"), foundation::SigningError);
}

}  // namespace
}  // namespace kivo::xmldsig
