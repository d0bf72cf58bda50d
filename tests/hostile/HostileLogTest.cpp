// The log against a huge verbose request: it cannot grow the log without bound. (Request text
// forging lines is a row of tests/data/host/process-cases.json.)

#include "HostileHost.h"

namespace kivo::testing {
namespace {

using nlohmann::json;

TEST(HostileLog, VerboseRequestOfFiveMegabytesGrowsTheLogByAtMostHalfAMebibyte) {
    const std::string line =
        "<Line n=\"1\">The parties agree to the terms in this schedule &amp; annex.</Line>\n";
    const std::string xml = signableDocument("c", repeated(line, 500000 / line.size()));
    json documents = json::array();
    for (int i = 0; i < 8; ++i) {
        documents.push_back(xmlEntry("doc" + std::to_string(i), xml));
    }
    const json request{
        {"type", "sign"},
        {"verbose", "ON"},
        {"user_details", signerDetails("Jane Citizen", signingFixture().ca.subjectKeyIdHex)},
        {"xml_data", documents}};
    const HostRun run = runHost(tools::frameMessage(request.dump()), signingEnvironment());
    expectRun(run, 0, "");
    // The log was empty: the request's DEBUG lines (512 KiB) and its INFO lines.
    EXPECT_LE(run.log.size(), 512u * 1024 + 8 * 1024);
    expectLogLinesWellFormed(run.log);
    EXPECT_NE(run.log.find("DEBUG Request message = {\"type\":\"sign\""), std::string::npos);
    EXPECT_NE(run.log.find(" bytes left out]\n"), std::string::npos);
    EXPECT_NE(run.log.find("DEBUG Further DEBUG lines of this request left out: they passed "
                           "524288 bytes\n"),
              std::string::npos);
    for (const std::string& text : linesOf(run.log)) {
        EXPECT_LE(text.size(), 64u * 1024 + 100);
    }
}

}  // namespace
}  // namespace kivo::testing
