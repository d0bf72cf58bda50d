// Hostile framing, JSON and XML, the rows of tests/data/hostile/inputs.json: each request ends its
// own host with one answer, within the memory bound, and nothing outside the request (here a
// local file) is ever loaded.

#include <random>

#include "HostileHost.h"
#include "support/TestCases.h"

namespace kivo::testing {
namespace {

using nlohmann::json;

const json& rows() {
    return testCases("hostile/inputs.json", "rows");
}

class HostileInput : public ::testing::TestWithParam<std::size_t> {};

TEST_P(HostileInput, AnsweredOnceWithinTheMemoryBound) {
    const json& row = rows()[GetParam()];
    // Contents no answer, log line or error output may ever show.
    const TempDir dir;
    const std::string secret = "kivo-secret-" + std::to_string(std::random_device{}());
    writeFile(dir / "secret.txt", secret);
    // Made when the case runs, so that this process stays small while the host is measured.
    std::string bytes;
    if (row.contains("document")) {
        bytes =
            signRequest(textBytes(row["document"], {{"${SECRET}", (dir / "secret.txt").string()}}));
    } else {
        bytes = textBytes(row["payload"]);
        bytes = row.contains("announced") ? tools::announcedFrame(row["announced"], bytes)
                                          : tools::frameMessage(bytes);
    }
    const HostRun run = runHost(std::move(bytes), signingEnvironment());
    expectRun(run, row["code"], row.value("message", ""));
    // Memory follows the bytes that came, not a length announced.
    expectMemoryBounded(run);
    for (const std::string& output : {run.answers.at(0), run.log, run.stderrText}) {
        EXPECT_EQ(output.find(secret), std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, HostileInput, ::testing::Range<std::size_t>(0, rows().size()),
                         [](const ::testing::TestParamInfo<std::size_t>& info) {
                             return rows()[info.param]["name"].get<std::string>();
                         });

}  // namespace
}  // namespace kivo::testing
