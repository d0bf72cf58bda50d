// Sign and version requests through the built host against real key stores: an NSS database in
// the host's home and a SoftHSM2 token, with certificates made by openssl.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "BuildConfig.h"
#include "certs/Encodings.h"
#include "support/HostSession.h"
#include "support/KeyStoreFixtures.h"
#include "support/XmlsecVerifier.h"

namespace kivo::testing {
namespace {

using nlohmann::json;

// The stores every test shares, made once: they are slow to build and never changed.
struct Stores {
    TempDir dir;
    TestCa caX = makeCa(dir / "ca-x", "Kivo CA X");
    TestCa caY = makeCa(dir / "ca-y", "Kivo CA Y");
    TestCa caWithoutCn = makeCa(dir / "ca-no-cn", "");
    TestHome home{dir / "home"};
    SoftHsm hsm{dir / "softhsm"};
    // A PIN no log line could hold by chance.
    SoftHsmToken token = hsm.addToken("Kivo Tests", "90817263");
    ScriptedPinentry pinentry{dir / "pinentry"};
    std::map<std::string, IssuedCertificate> issued;

    Stores() {
        const NssDatabase nss(home.path());
        nss.importPkcs12(issue("jane-nss", caX, spec("Jane Citizen", "20300101000000Z")), "jane");
        int id = 1;
        const auto onToken = [&](const std::string& name, const TestCa& ca,
                                 const CertificateSpec& certificateSpec) {
            token.importIdentity(issue(name, ca, certificateSpec),
                                 hexOf(std::string(1, char(id++))));
        };
        onToken("jane-token-x", caX, spec("Jane Citizen", "20350101000000Z"));
        onToken("jane-token-y", caY, spec("Jane Citizen", "20380101000000Z"));
        CertificateSpec noKeyUsage = spec("Bob Builder", "20350101000000Z");
        noKeyUsage.keyUsage.reset();
        onToken("bob", caX, noKeyUsage);
        CertificateSpec encipherOnly = spec("Carol Cipher", "20350101000000Z");
        encipherOnly.keyUsage = "critical,keyEncipherment";
        onToken("carol", caX, encipherOnly);
        onToken("dave", caX, spec("Dave Expired", "20200101000000Z", "20100101000000Z"));
        onToken("erin", caX, spec("Erin Early", "20400101000000Z", "20390101000000Z"));
        onToken("frank", caWithoutCn, spec("Frank Anon", "20350101000000Z"));
        CertificateSpec ec = spec("Grace Curve", "20350101000000Z");
        ec.keyType = KeyType::ecP256;
        onToken("grace", caX, ec);
    }

    static CertificateSpec spec(const std::string& name, const std::string& notAfter,
                                const std::string& notBefore = "20240101000000Z") {
        CertificateSpec result;
        result.commonName = name;
        result.notBefore = notBefore;
        result.notAfter = notAfter;
        return result;
    }

    const IssuedCertificate& issue(const std::string& name, const TestCa& ca,
                                   const CertificateSpec& certificateSpec) {
        return issued[name] = issueCertificate(dir / "issued", ca, certificateSpec, name);
    }

    Environment environment() const {
        return mergedEnvironments({home.environment(), hsm.environment(), pinentry.environment()});
    }
};

class SignerRequests : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { stores = new Stores(); }
    static void TearDownTestSuite() {
        delete stores;
        stores = nullptr;
    }
    void SetUp() override {
        stores->pinentry.answer(
            std::vector<PinAnswerScript>(20, PinAnswerScript::pin(stores->token.userPin())));
    }

    static json signer(const std::string& name, std::vector<std::string> aki,
                       const std::string& email = "jane@example.com") {
        return {{"name", name}, {"email", email}, {"abn", "51824753556"}, {"aki", aki}};
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
                {"data", certs::base64Encode(std::span(
                             reinterpret_cast<const std::uint8_t*>(xml.data()), xml.size()))}};
    }
    static std::string decoded(const json& signedEntry) {
        const auto bytes = certs::base64DecodeStrict(signedEntry.at("data").get<std::string>());
        return bytes ? std::string(bytes->begin(), bytes->end()) : std::string();
    }
    static const IssuedCertificate& certificate(const std::string& name) {
        return stores->issued.at(name);
    }

    static Stores* stores;
};

Stores* SignerRequests::stores = nullptr;

json ask(HostSession& host, const std::string& request) {
    EXPECT_TRUE(host.send(request));
    const auto answer = host.answer();
    EXPECT_TRUE(answer.has_value()) << request;
    return answer ? json::parse(*answer) : json();
}

TEST_F(SignerRequests, VersionAnswersNameTheSelectedCertificateOrTheReason) {
    const std::string x = stores->caX.subjectKeyIdHex;
    const std::string y = stores->caY.subjectKeyIdHex;
    std::string xUpperWithColons;
    for (std::size_t i = 0; i < x.size(); i += 2) {
        xUpperWithColons += (i ? ":" : "") + x.substr(i, 2);
    }
    std::string xUpper = x;
    for (char& c : xUpper) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    struct Case {
        const char* what;
        json userDetails;
        std::string serialOf;  // empty: an error is expected
        std::int64_t code = 0;
        std::string message = {};
    };
    const std::vector<Case> cases{
        {"later expiry wins across sources", signer("Jane Citizen", {x}), "jane-token-x"},
        {"first AKI entry wins over later expiry", signer("Jane Citizen", {x, y}), "jane-token-x"},
        {"second AKI entry when the first matches nothing", signer("Jane Citizen", {"00ff", y}),
         "jane-token-y"},
        {"upper-case AKI entries match", signer("Jane Citizen", {xUpper}), "jane-token-x"},
        {"e-mail compared without case", signer("Jane Citizen", {x}, "JANE@Example.COM"),
         "jane-token-x"},
        {"no key-usage extension may sign", signer("Bob Builder", {x}), "bob"},
        {"AKI entries with colons never match", signer("Jane Citizen", {xUpperWithColons}), "", 102,
         "Certificate not found"},
        {"name compared with case", signer("jane citizen", {x}), "", 102, "Certificate not found"},
        {"empty AKI list selects nothing", signer("Jane Citizen", {}), "", 102,
         "Certificate not found"},
        {"key usage without digitalSignature", signer("Carol Cipher", {x}), "", 102,
         "Certificate not found"},
        {"expired winner", signer("Dave Expired", {x}), "", 107, "Signing certificate has expired"},
        {"not yet valid winner", signer("Erin Early", {x}), "", 107,
         "Signing certificate has expired"},
        {"issuer without CN", signer("Frank Anon", {stores->caWithoutCn.subjectKeyIdHex}), "", 105,
         "Signing certificate does not include Issuer CN"},
        {"missing ABN", json{{"name", "Jane Citizen"}, {"email", "e"}, {"aki", json::array()}}, "",
         101, "ABN is missing from the signing request message"},
    };
    // Verbose requests keep the log whole: its quiet size limit is below what these write.
    std::filesystem::remove(stores->home.path() / "kivo-signing.log");
    HostSession host(stores->environment());
    for (const Case& c : cases) {
        const json answer = ask(
            host,
            json{{"type", "version"}, {"user_details", c.userDetails}, {"verbose", "ON"}}.dump());
        EXPECT_EQ(answer.value("version", ""), std::string(build::version)) << c.what;
        if (c.serialOf.empty()) {
            EXPECT_EQ(answer.value("result", ""), "error") << c.what;
            EXPECT_EQ(answer.value("error_code", 0), c.code) << c.what;
            EXPECT_EQ(answer.value("error_message", ""), c.message) << c.what;
            EXPECT_FALSE(answer.contains("cert_serial")) << c.what;
        } else {
            EXPECT_EQ(answer.value("result", ""), "ok") << c.what << answer.dump();
            EXPECT_EQ(answer.value("cert_serial", ""), certificate(c.serialOf).serialHex) << c.what;
            EXPECT_FALSE(answer.contains("error_code")) << c.what;
        }
    }
    EXPECT_EQ(host.finish(), 0);
    const std::string log = host.logText();
    EXPECT_NE(log.find("ERROR SigningError loading certificate (102): Certificate not found\n"),
              std::string::npos);
    EXPECT_NE(log.find("INFO  Found certificate match with a later expiry date\n"),
              std::string::npos)
        << log;
}

TEST_F(SignerRequests, SignsEveryDocumentTwiceAndIndependentVerifiersAgree) {
    const std::string first =
        "<Agreement xmlns:p=\"urn:p\"><!-- draft -->\n  <CounterpartData p:role=\"buyer\">Jane "
        "&amp; Co</CounterpartData>\n  <RenderedData><Page>Seite 1 – Überblick</Page>"
        "</RenderedData>\n</Agreement>";
    const std::string second =
        "<Doc><RenderedData>r</RenderedData><CounterpartData>c</CounterpartData></Doc>";
    HostSession host(stores->environment());
    const json answer =
        ask(host, signRequest(signer("Jane Citizen", {stores->caY.subjectKeyIdHex}),
                              {document("a", first), document("b", second)}, "RSA_SHA512"));
    ASSERT_EQ(answer.value("result", ""), "ok") << answer.dump();
    EXPECT_EQ(answer.value("cert_serial", ""), certificate("jane-token-y").serialHex);
    EXPECT_EQ(answer.value("cert_expiry", ""), "2038-01-01T00:00:00.000Z");
    EXPECT_EQ(answer.value("cert_issuer", ""), "Kivo CA Y");
    ASSERT_EQ(answer["signed_data"].size(), 2u);
    EXPECT_EQ(answer["signed_data"][0]["id"], "a");
    EXPECT_EQ(answer["signed_data"][1]["id"], "b");
    const std::string signedFirst = decoded(answer["signed_data"][0]);
    EXPECT_EQ(signedFirst.find("draft"), std::string::npos) << "comments are not returned";
    EXPECT_NE(signedFirst.find("rsa-sha512"), std::string::npos);
    for (const json& entry : answer["signed_data"]) {
        for (const char* element : {"CounterpartData", "RenderedData"}) {
            std::string output;
            EXPECT_EQ(verifyWithXmlsec(decoded(entry), element, stores->caY.certPem, output),
                      XmlsecVerdict::valid)
                << element << "\n"
                << output;
        }
    }
    std::string tampered = signedFirst;
    tampered.replace(tampered.find("Jane &amp; Co"), 13, "Jane &amp; Cx");
    std::string output;
    EXPECT_EQ(verifyWithXmlsec(tampered, "CounterpartData", stores->caY.certPem, output),
              XmlsecVerdict::invalid);

    // The host keeps serving after a sign answer; an empty list still selects a certificate.
    const json empty = ask(
        host, signRequest(signer("Jane Citizen", {stores->caX.subjectKeyIdHex}), json::array()));
    EXPECT_EQ(empty.value("result", ""), "ok");
    EXPECT_EQ(empty.value("cert_serial", ""), certificate("jane-token-x").serialHex);
    EXPECT_FALSE(empty.contains("signed_data"));
    EXPECT_EQ(host.finish(), 0);
    const std::string log = host.logText();
    EXPECT_NE(log.find("INFO  Finished signing XML\n"), std::string::npos);
    EXPECT_EQ(log.find(stores->token.userPin()), std::string::npos) << "the PIN reached the log";
}

TEST_F(SignerRequests, FailuresEndTheHostWithTheirCodes) {
    const std::string x = stores->caX.subjectKeyIdHex;
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
         signRequest(signer("Jane Citizen", {x}),
                     {document("a", "<r><CounterpartData>c</CounterpartData></r>")}),
         103, "XPath signing filter '//RenderedData' returned 0 results (expecting 1)"},
        {"unsupported algorithm name",
         signRequest(signer("Jane Citizen", {x}), {document("a", complete)}, "rsa_sha256"), 108,
         "Unsupported signature algorithm: rsa_sha256"},
        {"data not base64",
         signRequest(signer("Jane Citizen", {x}),
                     {document("a", complete), json{{"id", "b"}, {"data", "PHI+ PC9yPg=="}}}),
         104, "Invalid XML input: data of entry b is not base64"},
        {"data not UTF-8",
         signRequest(signer("Jane Citizen", {x}), {json{{"id", "c"}, {"data", "/w=="}}}), 104,
         "Invalid XML input: data of entry c is not UTF-8"},
        {"not XML", signRequest(signer("Jane Citizen", {x}), {document("a", "plain words")}), 104,
         "Invalid XML input: "},
        {"EC certificate", signRequest(signer("Grace Curve", {x}), {document("a", complete)}), 105,
         "Certificate does not contain an RSA key"},
        {"no certificate before documents are read",
         signRequest(signer("Nobody", {x}), {document("a", "plain words")}), 102,
         "Certificate not found"},
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
