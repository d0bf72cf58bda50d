#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/Log.h"
#include "protocol/SigningError.h"
#include "support/TempDir.h"
#include "xmldsig/XmlSigner.h"

namespace kivo::xmldsig {
namespace {

using protocol::SigningError;
using testing::TempDir;

// Sends the process log to a file of this test and gives back its lines.
class LogCapture {
  public:
    LogCapture() { host::setProcessLog(host::LogFile(path_)); }
    ~LogCapture() { host::setProcessLog(host::LogFile(std::nullopt)); }

    std::vector<std::string> lines() const {
        std::vector<std::string> result;
        const std::string text = testing::readFile(path_);
        std::size_t start = 0;
        for (std::size_t end; (end = text.find('\n', start)) != std::string::npos;
             start = end + 1) {
            result.push_back(text.substr(start, end - start));
        }
        return result;
    }

  private:
    TempDir folder_;
    std::filesystem::path path_ = folder_ / "kivo-signing.log";
};

struct RejectedInput {
    const char* name;
    std::string text;
    std::string message;  // the whole message, or its start when `prefixOnly`
    bool prefixOnly = false;
};

const std::string secretPath = std::string(KIVO_TEST_DATA_DIR) + "/xmldsig/rendered-first.xml";

std::vector<RejectedInput> rejectedInputs() {
    const std::string bad = "Invalid XML input: ";
    return {
        {"plain words", "plain words", bad + "Start tag expected, '<' not found (line 1)"},
        {"cut off in an element", "<Root>\n  <CounterpartData>text",
         bad + "Premature end of data in tag CounterpartData line 2 (line 2)"},
        {"mismatched end tag", "<Root>\n<A>\n</Root>",
         bad + "Opening and ending tag mismatch: A line 2 and Root (line 3)"},
        {"empty text", "", bad + "Document is empty (line 1)"},
        // libxml2 never yields a parsed document without a root element: text without one is
        // rejected by the parser itself.
        {"declaration only", "<?xml version=\"1.0\"?>",
         bad + "Start tag expected, '<' not found (line 1)"},
        {"comment only", "<!-- nothing else -->",
         bad + "Start tag expected, '<' not found (line 1)"},
        {"two roots", "<a/><b/>", bad + "Extra content at the end of the document (line 1)"},
        {"undeclared prefix", "<a:Root/>",
         bad + "Namespace prefix a on Root is not defined (line 1)"},
        {"invalid UTF-8", "<Root>\xff</Root>", bad + "Input is not proper UTF-8", true},
        {"undefined entity", "<Root>&nothing;</Root>",
         bad + "Entity 'nothing' not defined (line 1)"},
        {"relative namespace URI", "<Root>\n<x:A xmlns:x=\"relative/path\"/></Root>",
         bad + "Relative namespace URI 'relative/path' is not allowed (line 2)"},
        {"external entity from a file",
         "<!DOCTYPE r [<!ENTITY e SYSTEM \"file://" + secretPath + "\">]><r>&e;</r>",
         bad + "Refused to load external resource 'file://" + secretPath + "'"},
        {"external entity from a URL",
         "<!DOCTYPE r [<!ENTITY e SYSTEM \"http://127.0.0.1:9/e.xml\">]><r>&e;</r>",
         bad + "Refused to load external resource 'http://127.0.0.1:9/e.xml'"},
        {"external parameter entity",
         "<!DOCTYPE r [<!ENTITY % p SYSTEM \"" + secretPath + "\"> %p;]><r/>",
         bad + "Refused to load external resource '" + secretPath + "'"},
        // The external DTD is never read, so its entities stay undefined.
        {"entity from an external DTD",
         "<!DOCTYPE r SYSTEM \"" + secretPath + "\"><r>&fromDtd;</r>",
         bad + "Entity 'fromDtd' not defined (line 1)"},
        {"entity expansion bomb",
         "<!DOCTYPE r [<!ENTITY a \"aaaaaaaaaaaaaaaa\">"
         "<!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">"
         "<!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;\">"
         "<!ENTITY d \"&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;\">"
         "<!ENTITY e \"&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;\">"
         "<!ENTITY f \"&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;\">"
         "<!ENTITY g \"&f;&f;&f;&f;&f;&f;&f;&f;&f;&f;&f;&f;&f;&f;&f;&f;\">]><r>&g;</r>",
         bad, true},
    };
}

TEST(DocumentLoadingTest, RejectsUnusableTextWithOneErrorLineAndNoOutput) {
    const LogCapture log;
    std::size_t expectedLines = 0;
    for (const RejectedInput& input : rejectedInputs()) {
        SCOPED_TRACE(input.name);
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        std::optional<SigningError> failure;
        try {
            XmlSigner signer(input.text);
        } catch (const SigningError& error) {
            failure = error;
        }
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
        ASSERT_TRUE(failure.has_value());
        EXPECT_EQ(failure->code(), protocol::error_code::invalidXml);
        if (input.prefixOnly) {
            EXPECT_TRUE(failure->message().starts_with(input.message)) << failure->message();
        } else {
            EXPECT_EQ(failure->message(), input.message);
        }
        EXPECT_EQ(failure->message().find('\n'), std::string::npos);

        const std::vector<std::string> lines = log.lines();
        ASSERT_EQ(lines.size(), ++expectedLines);
        EXPECT_TRUE(lines.back().ends_with(" ERROR " + failure->message())) << lines.back();
    }
}

TEST(DocumentLoadingTest, KeepsEveryTextNodeAndExpandsInternalEntities) {
    const std::string text =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
        "<!DOCTYPE Root [<!ENTITY who \"Ana &amp; Bo\"><!ENTITY part \"<P n='1'>&who;</P>\">]>\r\n"
        "<!-- leading comment -->\r\n"
        "<Root b=\"2\" a=\"1\">\r\n"
        "  <Empty/>\r\n"
        "  \t<Data><![CDATA[<x> & y]]>&part;</Data>\r\n"
        "  <!-- inner comment --><Text>caf\xC3\xA9 \xE6\x9D\xB1</Text>\r\n"
        "</Root>\r\n";
    const XmlSigner signer(text);
    EXPECT_STREQ(reinterpret_cast<const char*>(signer.xmlRootElem()->name), "Root");
    EXPECT_EQ(xmlDocGetRootElement(signer.xmlDocument()), signer.xmlRootElem());
    EXPECT_EQ(signer.canonicalText(),
              "<Root a=\"1\" b=\"2\">\n"
              "  <Empty></Empty>\n"
              "  \t<Data>&lt;x&gt; &amp; y<P n=\"1\">Ana &amp; Bo</P></Data>\n"
              "  <Text>caf\xC3\xA9 \xE6\x9D\xB1</Text>\n"
              "</Root>");
}

TEST(DocumentLoadingTest, TextIsReadAsUtf8WhateverTheDeclarationSays) {
    const XmlSigner signer("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><Root>\xC3\xA9</Root>");
    EXPECT_EQ(signer.canonicalText(), "<Root>\xC3\xA9</Root>");
}

TEST(DocumentLoadingTest, AnExternalDtdThatIsNotNeededIsIgnored) {
    const XmlSigner signer("<!DOCTYPE Root SYSTEM \"" + secretPath + "\"><Root>x</Root>");
    EXPECT_EQ(signer.canonicalText(), "<Root>x</Root>");
}

}  // namespace
}  // namespace kivo::xmldsig
