// kivo-signing-host --self-test on the demo store (scripts/make-demo-store.sh): it signs the
// sample through the sign path when the user answers, and fails cleanly when they cancel.

#include <gtest/gtest.h>

#include "HostClient.h"
#include "support/KeyStoreFixtures.h"

namespace kivo::testing {
namespace {

using namespace std::chrono_literals;

// The variables demo.env exports, each written as export NAME='value'.
Environment demoEnvironment(const std::filesystem::path& store) {
    Environment environment;
    for (const std::string& line : linesOf(readFile(store / "demo.env"))) {
        const auto equals = line.find("='");
        if (line.starts_with("export ") && equals != std::string::npos) {
            environment[line.substr(7, equals - 7)] =
                line.substr(equals + 2, line.size() - equals - 3);
        }
    }
    return environment;
}

// The exit status and the output of --self-test.
std::pair<int, std::string> selfTest(const Environment& environment) {
    tools::HostOptions options;
    options.binary = KIVO_HOST_BINARY;
    options.arguments = {"--self-test"};
    options.environment = environment;
    options.unsetVariables = {"KIVO_VERBOSE_LOGGING", "XDG_DATA_HOME"};
    options.stderrPath = "/dev/null";
    tools::HostProcess host(options);
    host.closeInput();
    std::string output = host.readRemainingOutput(120s);
    return {host.waitForExit(60s).value_or(-1), std::move(output)};
}

TEST(SelfTest, PassesOnTheDemoStoreAndFailsCleanlyWhenTheUserCancels) {
    TempDir dir;
    ASSERT_EQ(runCommand(std::string(KIVO_SOURCE_DIR) + "/scripts/make-demo-store.sh " +
                         (dir / "demo").string() + " >/dev/null"),
              0);
    const Environment demo = demoEnvironment(dir / "demo");
    TestHome home(dir / "home");
    Environment environment = mergedEnvironments({demo, home.environment()});
    environment["KIVO_PINENTRY"] = demo.at("KIVO_DEMO_PINENTRY");

    const auto [passedStatus, passed] = selfTest(environment);
    EXPECT_EQ(passedStatus, 0) << passed;
    for (const char* step :
         {"Identity: Jane Citizen", "Signed the sample document",
          "CounterpartData: reference digest matches, RSA signature verifies",
          "RenderedData: reference digest matches, RSA signature verifies", "Self-test passed."}) {
        EXPECT_NE(passed.find(step), std::string::npos) << step << "\n" << passed;
    }
    EXPECT_NE(passed.find("serial " + demo.at("KIVO_DEMO_SERIAL")), std::string::npos);

    ScriptedPinentry pinentry(dir / "pinentry");
    pinentry.answer({PinAnswerScript::cancel()});
    const auto [cancelledStatus, cancelled] =
        selfTest(mergedEnvironments({environment, pinentry.environment()}));
    EXPECT_EQ(cancelledStatus, 1) << cancelled;
    EXPECT_EQ(pinentry.questionsAsked(), 1);
    EXPECT_NE(cancelled.find("failed: 100 Failed to create signature: cancelled by the user"),
              std::string::npos)
        << cancelled;
    EXPECT_NE(cancelled.find("Self-test failed."), std::string::npos);
    EXPECT_EQ(cancelled.find("passed"), std::string::npos);
}

}  // namespace
}  // namespace kivo::testing
