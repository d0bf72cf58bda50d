// Sign requests through the built host against the shared fixture's SoftHSM2 token and
// password-less NSS database, the signed documents checked by xmlsec1 and the user's approval
// given through the scripted pinentry. Failures and refusals are rows of
// tests/data/host/process-cases.json.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <regex>

#include "support/HostSession.h"
#include "support/KeyStoreFixtures.h"
#include "support/XmlsecVerifier.h"

namespace kivo::testing {
namespace {

using nlohmann::json;

class SignerRequests : public ::testing::Test {
  protected:
    void SetUp() override {
        fixture.pinentry.answer(
            std::vector<PinAnswerScript>(20, PinAnswerScript::pin(fixture.token->userPin())));
    }
    json signer(const std::string& name) const {
        return signerDetails(name, fixture.ca.subjectKeyIdHex);
    }

    SigningFixture& fixture = signingFixture();
};

const std::string xml = "<r><CounterpartData>c</CounterpartData><RenderedData>d</RenderedData></r>";

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) {
        text.replace(at, from.size(), to);
    }
    return text;
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
TEST_F(SignerRequests, SignsEveryDocumentTwiceAndIndependentVerifiersAgree) {
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
        const json answer = host.ask(signRequestText(signer("Jane Citizen"), documents, algorithm));
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

// One host, several requests: each sign request asks once, before signing, whatever the key
// needs; version requests never ask. Document ids and the caller reach the dialog on one line
// each, cleaned of line breaks.
TEST_F(SignerRequests, EverySignRequestAsksApprovalOnceNamingWhatIsSigned) {
    const json nora = signer("Nora Nss");
    const json jane = signer("Jane Citizen");
    std::vector<json> five;
    for (const char* id : {"inv-1", "inv\n2", "inv-3", "inv-4", "inv-5"}) {
        five.push_back(xmlEntry(id, xml));
    }
    const std::string caller = "chrome-extension://kivoextensionid/";
    fixture.pinentry.answer({PinAnswerScript::confirm(),
                             PinAnswerScript::pin(fixture.token->userPin()),
                             PinAnswerScript::confirm()});
    HostSession host(fixture.environment(), {caller, "--parent-window=0"});

    const auto certificateLine = [&](const std::string& name, const IssuedCertificate& issued,
                                     const std::string& expiry) {
        return "Certificate: " + name + ", issued by Kivo Test CA, serial " + issued.serialHex +
               ", expires " + expiry;
    };
    const json first = host.ask(signRequestText(nora, five));
    ASSERT_EQ(first.value("result", ""), "ok") << first.dump();
    EXPECT_EQ(first["signed_data"].size(), 5u);
    const json version = host.ask(json{{"type", "version"}, {"user_details", nora}}.dump());
    EXPECT_EQ(version.value("cert_issuer", ""), "Kivo Test CA") << version.dump();
    const json second = host.ask(signRequestText(jane, {xmlEntry("a", xml)}));
    EXPECT_EQ(second.value("result", ""), "ok") << second.dump();
    const json third = host.ask(signRequestText(nora, {xmlEntry("b", xml)}));
    EXPECT_EQ(third.value("result", ""), "ok") << third.dump();
    EXPECT_EQ(host.finish(), 0);

    const std::vector<PinentryDialog> dialogs = fixture.pinentry.dialogs();
    ASSERT_EQ(dialogs.size(), 3u);
    EXPECT_EQ(dialogs[0].kind, "CONFIRM");
    EXPECT_EQ(dialogs[0].description,
              "Sign 5 documents (\"inv-1\", \"inv 2\", \"inv-3\" and 2 more) for " + caller +
                  "?\n" + certificateLine("Nora Nss", fixture.nora, "2037-06-15"));
    EXPECT_EQ(dialogs[1].kind, "GETPIN");
    EXPECT_EQ(dialogs[1].description,
              "Sign 1 document (\"a\") for " + caller + "?\n" +
                  certificateLine("Jane Citizen", fixture.jane, "2039-12-31") +
                  "\nEnter the PIN of \"Kivo Tests\" to sign.");
    EXPECT_EQ(dialogs[2].kind, "CONFIRM");
    const std::vector<std::string> commands = fixture.pinentry.commands();
    EXPECT_EQ(std::count(commands.begin(), commands.end(), "SETOK Sign"), 2);
    EXPECT_EQ(std::count(commands.begin(), commands.end(), "SETCANCEL Cancel"), 2);
    const std::string log = host.logText();
    EXPECT_NE(log.find("INFO  Asking the user to approve signing\n"), std::string::npos) << log;
    EXPECT_NE(log.find("INFO  Asking the user to approve signing with the token PIN\n"),
              std::string::npos);
    EXPECT_NE(log.find("INFO  User approved signing\n"), std::string::npos);
    EXPECT_EQ(log.find(fixture.token->userPin()), std::string::npos) << "the PIN reached the log";
}

}  // namespace
}  // namespace kivo::testing
