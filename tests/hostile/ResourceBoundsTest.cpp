// Memory and size at the edges of what a sign request may be: the largest request a browser
// sends (64 MiB) carrying a 50 MB document, and documents whose trees are as large as trees get
// for their size.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "HostileHost.h"
#include "SigningStore.h"
#include "certs/Encodings.h"

namespace kivo::testing {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

constexpr std::size_t browserRequestLimit = 64 << 20;

// `size` bytes of a contract whose rendered part is many short lines of text.
std::string largeContract(std::size_t size) {
    const std::string head =
        "<Contract><CounterpartData><Party>Jane Citizen</Party>"
        "</CounterpartData><RenderedData>\n";
    const std::string tail = "</RenderedData></Contract>";
    const std::string line =
        "<Line n=\"1\" kind=\"text\">The parties agree to the terms in this schedule &amp; "
        "annex.</Line>\n";
    std::string document = head;
    document.reserve(size);
    while (document.size() + line.size() + tail.size() <= size) {
        document += line;
    }
    document.append(size - document.size() - tail.size(), '\n');
    return document + tail;
}

std::string signedDocumentOf(const std::string& answer) {
    const json parsed = json::parse(answer);
    const auto bytes = certs::base64DecodeStrict(parsed["signed_data"][0].value("data", ""));
    return bytes ? std::string(bytes->begin(), bytes->end()) : std::string();
}

TEST(HostileResources, BrowserSizedRequestWithFiftyMegabyteDocumentIsServed) {
    const SigningStore& store = signingStore();
    const MeasuredHost host = startMeasuredHost(store.environment());
    std::string request = signRequest({{"contract", largeContract(50000000)}});
    // Padding in an ignored member brings the request to exactly the browsers' limit.
    const std::string padding =
        R"("msg_source":")" + std::string(browserRequestLimit - request.size() - 16, 'p') + R"(",)";
    request.insert(1, padding);
    ASSERT_EQ(request.size(), browserRequestLimit);
    ASSERT_TRUE(host->send(request));
    request = std::string();
    host->process().closeInput();
    const HostRun run = finishRun(host, 1, browserRequestLimit, 300s);
    expectServedRun(run, 1);
    expectMemoryBounded(run, ordinaryMemoryPerRequestByte);
    ASSERT_EQ(run.answers.size(), 1u);
    const std::string signedDocument = signedDocumentOf(run.answers[0]);
    EXPECT_GT(signedDocument.size(), 50000000u);
    EXPECT_TRUE(signedDocument.ends_with("</Signature></RenderedData></Contract>"));
    EXPECT_NE(signedDocument.find("</Signature></CounterpartData>"), std::string::npos);
}

// Documents whose parsed tree takes the most memory per byte: nodes of a few bytes each.
TEST(HostileResources, DensestDocumentsStayWithinTheDocumentedMultiple) {
    const SigningStore& store = signingStore();
    constexpr std::size_t size = 4000000;
    const auto filled = [](const std::string& piece) {
        std::string text;
        while (text.size() + piece.size() <= size) {
            text += piece;
        }
        return text;
    };
    const std::vector<std::pair<const char*, std::string>> shapes{
        {"empty elements", "<a/>"},
        {"text between empty elements", "x<a/>"},
        {"elements with four attributes", R"(<a b="c" d="e" f="g" h="i"/>)"},
        {"text in elements", "<a>x</a>"},
        {"processing instructions between text", "x<?a?>"},
    };
    for (const auto& [what, piece] : shapes) {
        SCOPED_TRACE(what);
        const MeasuredHost host = startMeasuredHost(store.environment());
        const std::string request = signRequest({{"dense", signableDocument("c", filled(piece))}});
        ASSERT_TRUE(host->send(request));
        host->process().closeInput();
        const HostRun run = finishRun(host, 1, request.size());
        expectServedRun(run, 1);
        expectMemoryBounded(run);
    }
}

}  // namespace
}  // namespace kivo::testing
