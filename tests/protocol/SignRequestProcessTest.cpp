// Sign requests through the built host against the shared fixture's SoftHSM2 token and
// password-less NSS database, the signed documents checked by xmlsec1 and the user's approval
// given through the scripted pinentry. What the approval dialogs say, failures and refusals are
// rows of tests/data/host/process-cases.json.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <regex>

#include "support/HostSession.h"
#include "support/KeyStoreFixtures.h"
#include "support/XmlsecVerifier.h"

namespace kivo::testing {
namespace {

using nlohmann::json;

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

void expectVerdicts(const std::string& document, const std::filesystem::path& trusted,
                    XmlsecVerdict counterpart, XmlsecVerdict rendered) {
    std::string output;
    EXPECT_EQ(verifyWithXmlsec(document, "CounterpartData", trusted, output), counterpart)
        << output;
    EXPECT_EQ(verifyWithXmlsec(document, "RenderedData", trusted, output), rendered) << output;
}

// Every corpus document holds "counterpart-marker" and "rendered-marker" inside the two signed
// elements and "outside-marker" outside both; in nested.xml CounterpartData is inside
// RenderedData. A Signature already in a document keeps its own SignatureMethod (rsa-sha256),
// so that document goes last and is left out once another algorithm is asked for.
TEST(SignerRequests, SignsEveryDocumentTwiceAndIndependentVerifiersAgree) {
    const SigningFixture& fixture = signingFixture();
    const XmlsecVerdict valid = XmlsecVerdict::valid;
    const XmlsecVerdict invalid = XmlsecVerdict::invalid;
    const std::string corpus = std::string(KIVO_TEST_DATA_DIR) + "/xmldsig/";
    std::vector<json> documents{xmlEntry(
        "crlf",
        std::regex_replace(readFile(corpus + "mixed-content.xml"), std::regex("\n"), "\r\n"))};
    for (const char* file : {"namespaces.xml", "mixed-content.xml", "rendered-first.xml",
                             "nested.xml", "existing-signature.xml"}) {
        documents.push_back(xmlEntry(file, readFile(corpus + file)));
    }
    const std::filesystem::path& trusted = fixture.ca.certPem;
    HostSession host(fixture.environment());
    for (const auto& [algorithm, uri] : {std::pair{"default", "rsa-sha256\""},
                                         {"RSA_SHA1", "rsa-sha1\""},
                                         {"RSA_SHA512", "rsa-sha512\""}}) {
        const json answer = host.ask(signRequestText(
            signerDetails("Jane Citizen", fixture.ca.subjectKeyIdHex), documents, algorithm));
        ASSERT_EQ(answer.value("result", ""), "ok") << answer.dump();
        EXPECT_EQ(answer.value("cert_serial", ""), fixture.jane.serialHex);
        EXPECT_EQ(answer.value("cert_expiry", ""), "2039-12-31T23:59:59.000Z");
        EXPECT_EQ(answer.value("cert_issuer", ""), "Kivo Test CA");
        ASSERT_EQ(answer["signed_data"].size(), documents.size());
        for (std::size_t i = 0; i < documents.size(); ++i) {
            const json& entry = answer["signed_data"][i];
            EXPECT_EQ(entry["id"], documents[i]["id"]);
            SCOPED_TRACE(entry["id"].get<std::string>() + " " + uri);
            const std::string signedDocument = decodedData(entry);
            EXPECT_EQ(signedDocument.find("<!--"), std::string::npos)
                << "comments are not returned";
            EXPECT_NE(signedDocument.find(uri), std::string::npos);
            expectVerdicts(signedDocument, trusted, valid, valid);
            expectVerdicts(replaced(signedDocument, "counterpart-marker", "counterpart-markeR"),
                           trusted, invalid, entry["id"] == "nested.xml" ? invalid : valid);
            expectVerdicts(replaced(signedDocument, "rendered-marker", "rendered-markeR"), trusted,
                           valid, invalid);
            expectVerdicts(replaced(signedDocument, "outside-marker", "outside-markeR"), trusted,
                           valid, valid);
        }
        if (documents.back()["id"] == "existing-signature.xml") {
            documents.pop_back();
        }
    }

    EXPECT_EQ(host.finish(), 0);
    const std::string log = host.logText();
    EXPECT_NE(log.find("INFO  Finished signing XML\n"), std::string::npos);
    EXPECT_EQ(log.find(fixture.token->userPin()), std::string::npos) << "the PIN reached the log";
}

}  // namespace
}  // namespace kivo::testing
