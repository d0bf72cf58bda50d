// Resources at the edges: the largest request a browser sends (64 MiB) carrying a 50 MB document,
// and damaged certificates on a token next to the signer's identity, each skipped with its log
// line while the search still finds the signer.

#include <algorithm>

#include "HostileHost.h"

namespace kivo::testing {
namespace {

std::string bytes(std::initializer_list<unsigned char> values) {
    return std::string(values.begin(), values.end());
}

std::size_t occurrences(const std::string& text, const std::string& piece) {
    std::size_t count = 0;
    for (auto at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) {
        ++count;
    }
    return count;
}

TEST(HostileKeyStore, DamagedCertificatesAreSkippedAndTheSignerIsStillFound) {
    const SigningFixture& fixture = signingFixture();
    const TempDir dir;
    // A token of its own, so that no other test meets these objects.
    const SoftHsm hsm(dir / "softhsm");
    const SoftHsmToken token = hsm.addToken("Kivo Damaged", fixture.token->userPin());
    const std::string signerDer = readFile(fixture.jane.certDer);
    // Each damaged value takes the place of a smaller certificate imported for it; the signer's
    // longer certificate cut short still announces its full length.
    struct Case {
        const char* what;
        std::string value;
        // The lenient decoder reads some damage as an empty certificate, which matches nobody.
        bool readAsEmpty = false;
    };
    const std::vector<Case> damaged{
        {"cut inside the signed part", signerDer.substr(0, 300)},
        {"outer length of 2^64 - 1",
         bytes({0x30, 0x88, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff})},
        {"inner length announcing 127 length octets (read as 0)",
         bytes({0x30, 0x81, 0x81, 0x30, 0xff}) + std::string(127, '\xff'), true},
        {"250 indefinite-length sequences", repeated("\x30\x80", 250)},
    };
    token.importIdentity(fixture.jane, "01");
    const IssuedCertificate placeholder = committedCertificate("ecKey");
    for (std::size_t i = 0; i < damaged.size(); ++i) {
        token.importRawCertificate(damaged[i].value, placeholder, std::to_string(10 + i));
    }

    Environment environment = signingEnvironment();
    environment["SOFTHSM2_CONF"] = hsm.environment().at("SOFTHSM2_CONF");
    // DEBUG lines show the certificates that were read but matched nobody.
    environment["KIVO_VERBOSE_LOGGING"] = "ON";
    const HostRun run = runHost(signRequest(signableDocument("c", "r")), environment);
    expectRun(run, 0, "");
    ASSERT_EQ(run.answers.size(), 1u);
    EXPECT_EQ(nlohmann::json::parse(run.answers[0]).value("cert_serial", ""),
              fixture.jane.serialHex);
    const auto readAsEmpty = static_cast<std::size_t>(
        std::count_if(damaged.begin(), damaged.end(), [](const Case& c) { return c.readAsEmpty; }));
    EXPECT_EQ(occurrences(run.log, "ERROR Unexpected certificate contents\n"),
              damaged.size() - readAsEmpty);
    EXPECT_EQ(occurrences(run.log,
                          "DEBUG Next certificate has name = <nil>, email = <nil>, "
                          "ABN = <nil>, AKI = <nil>"),
              readAsEmpty);
}

constexpr std::size_t browserRequestLimit = 64 << 20;

TEST(HostileResources, BrowserSizedRequestWithFiftyMegabyteDocumentIsServed) {
    const std::string line =
        "<Line n=\"1\" kind=\"text\">The parties agree to the terms in this schedule &amp; "
        "annex.</Line>\n";
    std::string payload = signRequest(signableDocument("<Party>Jane Citizen</Party>",
                                                       repeated(line, 50000000 / line.size())))
                              .substr(4);
    // Padding in an ignored member brings the request to exactly the browsers' limit.
    const std::string padding =
        R"("msg_source":")" + std::string(browserRequestLimit - payload.size() - 16, 'p') + R"(",)";
    payload.insert(1, padding);
    ASSERT_EQ(payload.size(), browserRequestLimit);
    std::string request = tools::frameMessage(payload);
    payload = std::string();
    const HostRun run = runHost(std::move(request), signingEnvironment());
    expectRun(run, 0, "");
    expectMemoryBounded(run, ordinaryMemoryPerRequestByte);
    ASSERT_EQ(run.answers.size(), 1u);
    const std::string signedDocument =
        decodedData(nlohmann::json::parse(run.answers[0])["signed_data"][0]);
    EXPECT_GT(signedDocument.size(), 50000000u);
    EXPECT_TRUE(signedDocument.ends_with("</Signature></RenderedData></Contract>"));
    EXPECT_NE(signedDocument.find("</Signature></CounterpartData>"), std::string::npos);
}

// Browsers drop an answer larger than 1 MiB after the user approved: a host a browser started
// refuses such a request before asking, to the byte; other clients get large answers.
TEST(HostileResources, ABrowserStartedHostRefusesAnswersPastTheBrowsersLimit) {
    constexpr std::size_t limit = 1024 * 1024;
    const std::vector<std::string> browser{"chrome-extension://abcdefghijklmnop/"};
    const auto request = [](std::size_t padding) {
        return signRequest(signableDocument("c", std::string(padding, 'x')));
    };
    SigningFixture& fixture = signingFixture();
    const HostRun measured = runHost(request(700000), signingEnvironment());
    expectRun(measured, 0, "");
    ASSERT_LT(measured.answers.at(0).size(), limit);
    // Three more bytes of text are four more of Base64.
    const std::size_t fitting = 700000 + 3 * ((limit - measured.answers[0].size()) / 4);
    const HostRun largest = runHost(request(fitting), signingEnvironment(), browser);
    expectRun(largest, 0, "");
    EXPECT_GT(largest.answers.at(0).size(), limit - 4);

    fixture.pinentry.answer({});
    const HostRun refused = runHost(request(fitting + 3), signingEnvironment(), browser);
    expectRun(refused, 100,
              "The signed documents would make an answer larger than the 1048576 bytes (1 MB) a "
              "browser accepts from the host: send fewer documents per request");
    EXPECT_EQ(fixture.pinentry.questionsAsked(), 0);
    fixture.pinentry.answer({PinAnswerScript::pin(fixture.token->userPin())});
    expectRun(runHost(request(fitting + 3), signingEnvironment()), 0, "");
}

// Each document gets two signatures whatever its size: tiny documents must not make an answer
// hundreds of times the request, nor a log of megabytes.
TEST(HostileResources, TooManyDocumentsForOneAnswerAreRefusedBeforeAnyoneIsAsked) {
    const std::string entry =
        R"({"id":"d","data":")" +
        foundation::base64Encode(foundation::byteView(signableDocument("", ""))) + R"("},)";
    std::string documents = repeated(entry, 30000);
    documents.pop_back();
    const HostRun run =
        runHost(tools::frameMessage(
                    R"({"type":"sign","user_details":)" +
                    signerDetails("Jane Citizen", signingFixture().ca.subjectKeyIdHex).dump() +
                    R"(,"xml_data":[)" + documents + "]}"),
                signingEnvironment());
    expectRun(run, 100, "Signing request carries 30000 documents, more than the ");
    expectMemoryBounded(run);
}

}  // namespace
}  // namespace kivo::testing
