// The approval text under hostile ids and callers, and who the browser says the caller is.

#include "protocol/SigningApproval.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "support/TestCases.h"

namespace kivo::protocol {
namespace {

// A text as the dialog shows one from the request or the certificate: isolated.
std::string iso(const std::string& text) {
    return "\u2068" + text + "\u2069";
}

TEST(SigningApproval, HostileTextsStayOnTheirLineAndWithinOnePinentryCommand) {
    certs::CertificateSelection selection;
    selection.serial = "0a1b2c";
    selection.expiry = "2031-02-03T04:05:06.000Z";
    selection.issuer = "Issuer\nCertificate: Forged CA";
    const std::string longId(5000, '%');
    // Bidi overrides, isolates and invisible characters would reorder or hide what follows.
    const std::vector<XmlData> documents{{"", "a\r\nSign 0 documents?"},
                                         {"", "b\u2028c\u0085d\x7f\u202e\u2066\u200b\ufeffe"},
                                         {"", longId},
                                         {"", "x"},
                                         {"", "y"}};
    const std::string text =
        signingPurpose(selection, documents, std::string(300, 'c') + "\n" + "\xff");

    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
    EXPECT_TRUE(text.starts_with("Sign 5 documents (\"" + iso("a  Sign 0 documents?") + "\", \"" +
                                 iso("b c d \uFFFD\uFFFD\uFFFD\uFFFDe") + "\", \"\u2068%%%"))
        << text;
    EXPECT_NE(text.find("%\u2026\u2069\" and 2 more) for \u2068ccc"), std::string::npos) << text;
    EXPECT_TRUE(text.ends_with("?\nCertificate: " + iso("(no name)") + ", issued by " +
                               iso("Issuer Certificate: Forged CA") + ", serial " + iso("0a1b2c") +
                               ", expires " + iso("2031-02-03")))
        << text;
    // Assuan lines end at 1000 bytes; "%" is sent as three.
    const auto percents = static_cast<std::size_t>(std::count(text.begin(), text.end(), '%'));
    EXPECT_LT(text.size() + 2 * percents + 20, 1000u) << text.size();
}

TEST(SigningApproval, CallerAsEachBrowserPassesIt) {
    for (const auto& c : testing::testCases("protocol/requests.json", "callers")) {
        const auto texts = c[0].get<std::vector<std::string>>();
        std::vector<const char*> arguments;
        for (const std::string& text : texts) {
            arguments.push_back(text.c_str());
        }
        EXPECT_EQ(callerFromArguments(arguments),
                  c[1].is_null() ? std::nullopt : std::optional(c[1].get<std::string>()))
            << c[0];
    }
}

}  // namespace
}  // namespace kivo::protocol
