// Resources at the edges: the largest request a browser sends (64 MiB) carrying a 50 MB document,
// the largest answer a browser takes, and damaged certificates on a token next to the signer's
// identity, each skipped with its log line while the search still finds the signer. (Many tiny
// documents are a row of tests/data/hostile/inputs.json.)

#include "HostileHost.h"
#include "support/TestCases.h"

namespace kivo::testing {
namespace {

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
    token.importIdentity(fixture.jane, "01");
    // Each damaged value takes the place of a smaller certificate imported for it.
    const IssuedCertificate placeholder = committedCertificate("ecKey");
    const nlohmann::json& damaged = testCases("hostile/damaged-certificates.json", "rows");
    std::size_t readAsEmpty = 0;
    for (std::size_t i = 0; i < damaged.size(); ++i) {
        token.importRawCertificate(textBytes(damaged[i]["value"]), placeholder,
                                   std::to_string(10 + i));
        readAsEmpty += damaged[i].value("readAsEmpty", false) ? 1 : 0;
    }

    // DEBUG lines show the certificates that were read but matched nobody.
    const HostRun run =
        runHost(signRequest(signableDocument("c", "r")),
                mergedEnvironments(
                    {signingEnvironment(), hsm.environment(), {{"KIVO_VERBOSE_LOGGING", "ON"}}}));
    expectRun(run, 0, "");
    EXPECT_EQ(nlohmann::json::parse(run.answers.at(0)).value("cert_serial", ""),
              fixture.jane.serialHex);
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
    payload.insert(1, R"("msg_source":")" +
                          std::string(browserRequestLimit - payload.size() - 16, 'p') + R"(",)");
    ASSERT_EQ(payload.size(), browserRequestLimit);
    std::string request = tools::frameMessage(payload);
    payload = std::string();
    const HostRun run = runHost(std::move(request), signingEnvironment());
    expectRun(run, 0, "");
    expectMemoryBounded(run, ordinaryMemoryPerRequestByte);
    const std::string signedDocument =
        decodedData(nlohmann::json::parse(run.answers.at(0))["signed_data"][0]);
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

}  // namespace
}  // namespace kivo::testing
