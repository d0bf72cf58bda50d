// Sign requests through the built host against a SoftHSM2 token, with certificates made by
// openssl and the signed documents checked by xmlsec1.

#include <gtest/gtest.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <regex>

#include "foundation/Encodings.h"
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
    std::map<std::string, IssuedCertificate> issued;

    Stores() {
        int id = 1;
        const auto onToken = [&](const std::string& name, const TestCa& ca,
                                 const CertificateFields& details) {
            issued[name] = issueCertificate(dir / "issued", ca, details, name);
            token.importIdentity(issued[name], hexOf(std::string(1, char(id++))));
        };
        onToken("jane-token-y", caY, identity("Jane Citizen", "20380101000000Z"));
        CertificateFields ec = identity("Grace Curve", "20350101000000Z");
        ec.keyType = KeyType::ecP256;
        onToken("grace", caY, ec);
    }

    static CertificateFields identity(const std::string& name, const std::string& notAfter) {
        CertificateFields result;
        result.commonName = name;
        result.notBefore = "20240101000000Z";
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

    static json signer(const std::string& name, std::vector<std::string> aki) {
        return {
            {"name", name}, {"email", "jane@example.com"}, {"abn", "51824753556"}, {"aki", aki}};
    }
    static std::string signRequest(const json& userDetails, const std::vector<json>& documents,
                                   const std::optional<std::string>& algorithm = std::nullopt) {
        json request{{"type", "sign"}, {"user_details", userDetails}};
        request["xml_data"] = documents;
        if (algorithm) {
            request["signature_algorithm"] = *algorithm;
        }
        return request.dump();
    }
    static json document(const std::string& id, const std::string& xml) {
        return {{"id", id},
                {"data", foundation::base64Encode(std::span(
                             reinterpret_cast<const std::uint8_t*>(xml.data()), xml.size()))}};
    }
    static std::string decoded(const json& signedEntry) {
        const auto bytes =
            foundation::base64DecodeStrict(signedEntry.at("data").get<std::string>());
        return bytes ? std::string(bytes->begin(), bytes->end()) : std::string();
    }

    static std::unique_ptr<Stores> stores;
};

std::unique_ptr<Stores> SignerRequests::stores;

json ask(HostSession& host, const std::string& request) {
    EXPECT_TRUE(host.send(request));
    const auto answer = host.answer();
    EXPECT_TRUE(answer.has_value()) << request;
    return answer ? json::parse(*answer) : json();
}

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
    std::vector<json> documents{document(
        "crlf",
        std::regex_replace(readFile(corpus + "mixed-content.xml"), std::regex("\n"), "\r\n"))};
    for (const char* file : {"namespaces.xml", "mixed-content.xml", "rendered-first.xml",
                             "nested.xml", "existing-signature.xml"}) {
        documents.push_back(document(file, readFile(corpus + file)));
    }
    const std::filesystem::path& trusted = stores->caY.certPem;
    HostSession host(stores->environment());
    for (const auto& [algorithm, uri] : {std::pair{"default", "rsa-sha256\""},
                                         {"RSA_SHA1", "rsa-sha1\""},
                                         {"RSA_SHA512", "rsa-sha512\""}}) {
        const json answer =
            ask(host, signRequest(signer("Jane Citizen", {stores->caY.subjectKeyIdHex}), documents,
                                  algorithm));
        ASSERT_EQ(answer.value("result", ""), "ok") << answer.dump();
        EXPECT_EQ(answer.value("cert_serial", ""), stores->issued.at("jane-token-y").serialHex);
        EXPECT_EQ(answer.value("cert_expiry", ""), "2038-01-01T00:00:00.000Z");
        EXPECT_EQ(answer.value("cert_issuer", ""), "Kivo CA Y");
        ASSERT_EQ(answer["signed_data"].size(), documents.size());
        for (std::size_t i = 0; i < documents.size(); ++i) {
            const json& entry = answer["signed_data"][i];
            EXPECT_EQ(entry["id"], documents[i]["id"]);
            SCOPED_TRACE(entry["id"].get<std::string>() + " " + uri);
            const std::string signedDocument = decoded(entry);
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
    const json jane = signer("Jane Citizen", {stores->caY.subjectKeyIdHex});
    const std::string complete =
        "<r><CounterpartData>c</CounterpartData><RenderedData>d</RenderedData></r>";
    struct Case {
        const char* what;
        std::string request;
        std::int64_t code;
        std::string message;
    };
    const std::vector<Case> cases{
        {"missing RenderedData",
         signRequest(jane, {document("a", "<r><CounterpartData>c</CounterpartData></r>")}), 103,
         "XPath signing filter '//RenderedData' returned 0 results (expecting 1)"},
        {"unsupported algorithm name", signRequest(jane, {document("a", complete)}, "rsa_sha256"),
         108, "Unsupported signature algorithm: rsa_sha256"},
        {"data not base64",
         signRequest(jane, {document("a", complete), json{{"id", "b"}, {"data", "PHI+ PC9yPg=="}}}),
         104, "Invalid XML input: data of entry b is not base64"},
        {"data not UTF-8", signRequest(jane, {json{{"id", "c"}, {"data", "/w=="}}}), 104,
         "Invalid XML input: data of entry c is not UTF-8"},
        {"not XML", signRequest(jane, {document("a", "plain words")}), 104, "Invalid XML input: "},
        {"EC certificate",
         signRequest(signer("Grace Curve", {stores->caY.subjectKeyIdHex}),
                     {document("a", complete)}),
         105, "Certificate does not contain an RSA key"},
        {"no certificate before documents are read",
         signRequest(signer("Nobody", {stores->caY.subjectKeyIdHex}),
                     {document("a", "plain words")}),
         102, "Certificate not found"},
    };
    for (const Case& c : cases) {
        HostSession host(stores->environment());
        const json answer = ask(host, c.request);
        EXPECT_EQ(answer.size(), 3u) << c.what << answer.dump();
        EXPECT_EQ(answer.value("error_code", 0), c.code) << c.what << answer.dump();
        EXPECT_EQ(answer.value("error_message", "").substr(0, c.message.size()), c.message)
            << c.what;
        EXPECT_EQ(host.finish(), 1) << c.what;
    }
}

}  // namespace
}  // namespace kivo::testing
