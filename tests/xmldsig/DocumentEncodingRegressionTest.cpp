// Text that libxml2 takes for UCS-4 by its first bytes (valid UTF-8, so a sign request lets it
// through) and then fails to convert. The conversion error has no parser context; it used to be
// printed on stderr, where the browser would log it, instead of staying with the parse.

#include <gtest/gtest.h>

#include <string>

#include "protocol/SigningError.h"
#include "xmldsig/XmlSigner.h"

namespace kivo::xmldsig {
namespace {

TEST(DocumentEncodingRegressionTest, FailedConversionIsRejectedWithoutPrinting) {
    using namespace std::string_literals;
    for (const std::string& text : {"<\0\0\0\0\0\0\0"s, "<\0\0\0R\0\0\0>\0\0\0\0\0\0\0"s,
                                    "<\0\0\0R\0\0\0/\0\0\0>\0\0\0\1\0\0\1"s}) {
        SCOPED_TRACE(::testing::PrintToString(text));
        ::testing::internal::CaptureStderr();
        try {
            XmlSigner signer(text);
            ADD_FAILURE() << "accepted";
        } catch (const protocol::SigningError& error) {
            EXPECT_EQ(error.code(), protocol::error_code::invalidXml);
            EXPECT_TRUE(error.message().starts_with("Invalid XML input: ")) << error.message();
        }
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    }
}

}  // namespace
}  // namespace kivo::xmldsig
