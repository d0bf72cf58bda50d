// Sign requests through the built host against a SoftHSM2 token and a password-less NSS
// database, with certificates made by openssl, the signed documents checked by xmlsec1 and the
// user's approval given or refused through the scripted pinentry.

#include <gtest/gtest.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <regex>

#include "support/HostSession.h"
#include "support/KeyStoreFixtures.h"
#include "support/XmlsecVerifier.h"

namespace kivo::testing {
namespace {

using nlohmann::json;

// The stores every test shares, made once: they are slow to build and never changed.
struct Stores {
    TempDir dir;
    TestCa caY = makeCa(dir / "ca-y", "Kivo CA Y");
    TestHome home{dir / "home"};
    SoftHsm hsm{dir / "softhsm"};
    // A PIN no log line could hold by chance.
    SoftHsmToken token = hsm.addToken("Kivo Tests", "90817263");
    ScriptedPinentry pinentry{dir / "pinentry"};
    // Chrome's default store: no password, so only a confirmation guards its keys.
    NssDatabase nss{home.path()};
    std::map<std::string, IssuedCertificate> issued;

    Stores() {
        int id = 1;
        const auto onToken = [&](const std::string& name, const TestCa& ca,
                                 const CertificateFields& details) {
            issued[name] = issueCertificate(dir / "issued", ca, details, name);
            token.importIdentity(issued[name], "0" + std::to_string(id++));
        };
        onToken("jane-token-y", caY, identity("Jane Citizen", "20380101000000Z"));
        CertificateFields ec = identity("Grace Curve", "20350101000000Z");
        ec.keyType = KeyType::ecP256;
        onToken("grace", caY, ec);
        issued["nora"] =
            issueCertificate(dir / "issued", caY, identity("Nora Nss", "20370615000000Z"), "nora");
        nss.importPkcs12(issued["nora"], "nora");
    }

    static CertificateFields identity(const std::string& name, const std::string& notAfter) {
        CertificateFields result;
        result.commonName = name;
        result.notAfter = notAfter;
        return result;
    }

    Environment environment() const {
        return mergedEnvironments({home.environment(), hsm.environment(), pinentry.environment()});
    }
};

class SignerRequests : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { stores = std::make_unique<Stores>(); }
    static void TearDownTestSuite() { stores.reset(); }
    void SetUp() override {
        stores->pinentry.answer(
            std::vector<PinAnswerScript>(20, PinAnswerScript::pin(stores->token.userPin())));
    }

    static json signer(const std::string& name) {
        return signerDetails(name, stores->caY.subjectKeyIdHex);
    }

    static std::unique_ptr<Stores> stores;
};

std::unique_ptr<Stores> SignerRequests::stores;

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
    const std::filesystem::path& trusted = stores->caY.certPem;
    HostSession host(stores->environment());
    for (const auto& [algorithm, uri] : {std::pair{"default", "rsa-sha256\""},
                                         {"RSA_SHA1", "rsa-sha1\""},
                                         {"RSA_SHA512", "rsa-sha512\""}}) {
        const json answer = host.ask(signRequestText(signer("Jane Citizen"), documents, algorithm));
        ASSERT_EQ(answer.value("result", ""), "ok") << answer.dump();
        EXPECT_EQ(answer.value("cert_serial", ""), stores->issued.at("jane-token-y").serialHex);
        EXPECT_EQ(answer.value("cert_expiry", ""), "2038-01-01T00:00:00.000Z");
        EXPECT_EQ(answer.value("cert_issuer", ""), "Kivo CA Y");
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
    EXPECT_EQ(log.find(stores->token.userPin()), std::string::npos) << "the PIN reached the log";
}

TEST_F(SignerRequests, FailuresEndTheHostWithTheirCodes) {
    const json jane = signer("Jane Citizen");
    struct Case {
        const char* what;
        std::string request;
        std::int64_t code;
        std::string message;
    };
    const std::vector<Case> cases{
        {"missing RenderedData",
         signRequestText(jane, {xmlEntry("a", "<r><CounterpartData>c</CounterpartData></r>")}), 103,
         "XPath signing filter '//RenderedData' returned 0 results (expecting 1)"},
        {"unsupported algorithm name", signRequestText(jane, {xmlEntry("a", xml)}, "rsa_sha256"),
         108, "Unsupported signature algorithm: rsa_sha256"},
        {"data not base64",
         signRequestText(jane, {xmlEntry("a", xml), json{{"id", "b"}, {"data", "PHI+ PC9yPg=="}}}),
         104, "Invalid XML input: data of entry b is not base64"},
        {"data not UTF-8", signRequestText(jane, {json{{"id", "c"}, {"data", "/w=="}}}), 104,
         "Invalid XML input: data of entry c is not UTF-8"},
        {"EC certificate", signRequestText(signer("Grace Curve"), {xmlEntry("a", xml)}), 105,
         "Certificate does not contain an RSA key"},
        {"no certificate before documents are read",
         signRequestText(signer("Nobody"), {xmlEntry("a", "plain words")}), 102,
         "Certificate not found"},
    };
    for (const Case& c : cases) {
        HostSession host(stores->environment());
        const json answer = host.ask(c.request);
        EXPECT_EQ(answer.size(), 3u) << c.what << answer.dump();
        EXPECT_EQ(answer.value("error_code", 0), c.code) << c.what << answer.dump();
        EXPECT_EQ(answer.value("error_message", "").substr(0, c.message.size()), c.message)
            << c.what;
        EXPECT_EQ(host.finish(), 1) << c.what;
    }
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
    stores->pinentry.answer({PinAnswerScript::confirm(),
                             PinAnswerScript::pin(stores->token.userPin()),
                             PinAnswerScript::confirm()});
    HostSession host(stores->environment(), {caller, "--parent-window=0"});

    const auto certificateLine = [&](const std::string& name, const std::string& issuedName,
                                     const std::string& expiry) {
        return "Certificate: " + name + ", issued by Kivo CA Y, serial " +
               stores->issued.at(issuedName).serialHex + ", expires " + expiry;
    };
    const json first = host.ask(signRequestText(nora, five));
    ASSERT_EQ(first.value("result", ""), "ok") << first.dump();
    EXPECT_EQ(first["signed_data"].size(), 5u);
    const json version = host.ask(json{{"type", "version"}, {"user_details", nora}}.dump());
    EXPECT_EQ(version.value("cert_issuer", ""), "Kivo CA Y") << version.dump();
    const json second = host.ask(signRequestText(jane, {xmlEntry("a", xml)}));
    EXPECT_EQ(second.value("result", ""), "ok") << second.dump();
    const json third = host.ask(signRequestText(nora, {xmlEntry("b", xml)}));
    EXPECT_EQ(third.value("result", ""), "ok") << third.dump();
    EXPECT_EQ(host.finish(), 0);

    std::vector<PinentryDialog> dialogs = stores->pinentry.dialogs();
    ASSERT_EQ(dialogs.size(), 3u);
    // The isolates around each text are the approval test's to check.
    for (PinentryDialog& dialog : dialogs) {
        for (const std::string isolate : {"\u2068", "\u2069"}) {
            for (auto at = dialog.description.find(isolate); at != std::string::npos;
                 at = dialog.description.find(isolate)) {
                dialog.description.erase(at, isolate.size());
            }
        }
    }
    EXPECT_EQ(dialogs[0].kind, "CONFIRM");
    EXPECT_EQ(dialogs[0].description,
              "Sign 5 documents (\"inv-1\", \"inv 2\", \"inv-3\" and 2 more) for " + caller +
                  "?\n" + certificateLine("Nora Nss", "nora", "2037-06-15"));
    EXPECT_EQ(dialogs[1].kind, "GETPIN");
    EXPECT_EQ(dialogs[1].description,
              "Sign 1 document (\"a\") for " + caller + "?\n" +
                  certificateLine("Jane Citizen", "jane-token-y", "2038-01-01") +
                  "\nEnter the PIN of \"Kivo Tests\" to sign.");
    EXPECT_EQ(dialogs[2].kind, "CONFIRM");
    const std::vector<std::string> commands = stores->pinentry.commands();
    EXPECT_EQ(std::count(commands.begin(), commands.end(), "SETOK Sign"), 2);
    EXPECT_EQ(std::count(commands.begin(), commands.end(), "SETCANCEL Cancel"), 2);
    const std::string log = host.logText();
    EXPECT_NE(log.find("INFO  Asking the user to approve signing\n"), std::string::npos) << log;
    EXPECT_NE(log.find("INFO  Asking the user to approve signing with the token PIN\n"),
              std::string::npos);
    EXPECT_NE(log.find("INFO  User approved signing\n"), std::string::npos);
    EXPECT_EQ(log.find(stores->token.userPin()), std::string::npos) << "the PIN reached the log";
}

// A refused or impossible approval fails the request before anything is signed.
TEST_F(SignerRequests, NoSignatureWithoutApproval) {
    const std::string notExecutable = (stores->dir / "not-executable").string();
    writeFile(notExecutable, "#!/bin/sh\necho OK\n");
    const struct {
        const char* what;
        const char* signer;
        std::optional<std::string> program;  // none: the scripted pinentry
        PinAnswerScript answer;
        std::string error;  // after "Failed to create signature: "
        const char* logLine;
    } cases[] = {
        {"confirmation cancelled", "Nora Nss", std::nullopt, PinAnswerScript::cancel(),
         "cancelled by the user", "User declined signing"},
        {"PIN dialog cancelled", "Jane Citizen", std::nullopt, PinAnswerScript::cancel(),
         "cancelled by the user", "User declined signing"},
        {"pinentry missing", "Nora Nss", "/nonexistent/pinentry", PinAnswerScript::confirm(),
         "no pinentry program to ask the user (install pinentry or set KIVO_PINENTRY)",
         "Signing not approved: no pinentry program"},
        {"pinentry not executable", "Nora Nss", notExecutable, PinAnswerScript::confirm(),
         "no pinentry program to ask the user (install pinentry or set KIVO_PINENTRY)",
         "Signing not approved: no pinentry program"},
        {"pinentry exits at once", "Nora Nss", "/bin/false", PinAnswerScript::confirm(),
         "the pinentry program failed", "Signing not approved: the pinentry program failed"},
        {"pinentry hangs up", "Nora Nss", std::nullopt, PinAnswerScript::hangUp(),
         "the pinentry program failed", "Signing not approved: the pinentry program failed"},
        {"a PIN where a confirmation is due", "Nora Nss", std::nullopt, PinAnswerScript::pin("1"),
         "the pinentry program failed", "Signing not approved: the pinentry program failed"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        stores->pinentry.answer({c.answer});
        Environment environment = stores->environment();
        if (c.program) {
            environment["KIVO_PINENTRY"] = *c.program;
        }
        HostSession host(environment);
        const json answer = host.ask(signRequestText(signer(c.signer), {xmlEntry("a", xml)}));
        EXPECT_EQ(answer, (json{{"result", "error"},
                                {"error_code", 100},
                                {"error_message", "Failed to create signature: " + c.error}}));
        EXPECT_EQ(host.finish(), 1);
        EXPECT_NE(host.logText().find(std::string("INFO  ") + c.logLine), std::string::npos)
            << host.logText();
        EXPECT_EQ(stores->pinentry.questionsAsked(), c.program ? 0 : 1);
    }
}

// Elements in a default namespace are found by their name as written, and the XPath text stays
// the filter. A verifier reading that text as plain XPath 1.0 selects nothing in such a
// document; the README says what xmlsec1 does with these signatures, and this holds it to that.
TEST_F(SignerRequests, DefaultNamespaceDocumentsAreSignedByTheNameAsWritten) {
    const std::vector<json> documents{
        xmlEntry("default",
                 "<Root xmlns=\"urn:a\"><CounterpartData>counterpart-marker"
                 "</CounterpartData><RenderedData>rendered-marker</RenderedData>"
                 "</Root>"),
        xmlEntry("mixed",
                 "<p:Root xmlns:p=\"urn:p\" xmlns=\"urn:a\">"
                 "<p:CounterpartData>outside-marker</p:CounterpartData>"
                 "<CounterpartData>counterpart-marker</CounterpartData>"
                 "<p:Body><RenderedData>rendered-marker</RenderedData></p:Body>"
                 "</p:Root>"),
    };
    HostSession host(stores->environment());
    const json answer = host.ask(signRequestText(signer("Jane Citizen"), documents));
    ASSERT_EQ(answer.value("result", ""), "ok") << answer.dump();
    ASSERT_EQ(answer["signed_data"].size(), documents.size());

    for (const json& entry : answer["signed_data"]) {
        SCOPED_TRACE(entry["id"].get<std::string>());
        const std::string signedDocument = decodedData(entry);
        EXPECT_NE(signedDocument.find("<CounterpartData>counterpart-marker<Signature xmlns="),
                  std::string::npos)
            << signedDocument;
        EXPECT_NE(signedDocument.find("<RenderedData>rendered-marker<Signature xmlns="),
                  std::string::npos)
            << signedDocument;
        // Rejected at the reference, as the README says: the filter selected nothing there.
        for (const char* element : {"CounterpartData", "RenderedData"}) {
            std::string output;
            EXPECT_EQ(verifyWithXmlsec(signedDocument, element, stores->caY.certPem, output),
                      XmlsecVerdict::invalid)
                << output;
            EXPECT_NE(output.find("data and digest do not match"), std::string::npos) << output;
            EXPECT_NE(output.find("SignedInfo References (ok/all): 0/1"), std::string::npos)
                << output;
        }
    }
    EXPECT_EQ(host.finish(), 0);
}

}  // namespace
}  // namespace kivo::testing
