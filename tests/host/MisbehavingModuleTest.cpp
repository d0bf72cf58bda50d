// PKCS#11 modules that print, fail, hide their mechanisms or hang, played by the module of
// tests/platform/shim over the fixture's SoftHSM2 token, as rows of
// tests/data/host/misbehaving-modules.json. Each host sees the shim beside the idle modules
// desktops often register (OpenSC's with no reader, tpm2-pkcs11's with no TPM): every row ends in
// its documented answer (or the host's end), never in a crash, a hang or anything but frames on
// the browser's channel, and the idle modules are passed by.

#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <regex>

#include "support/HostSession.h"
#include "support/KeyStoreFixtures.h"
#include "support/TestCases.h"

namespace kivo::testing {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;

TEST(MisbehavingModules, EachEndsInItsDocumentedAnswerAndOnlyFramesReachTheBrowser) {
    SigningFixture& fixture = signingFixture();
    const RegisteredModules modules(fixture.dir / "misbehaving-modules");
    modules.add("misbehaving", KIVO_SHIM_MODULE);
    std::vector<std::string> idleLines;  // in every row's log
    for (const char* library : {"opensc-pkcs11.so", "libtpm2_pkcs11.so"}) {
        const fs::path path = fs::path(KIVO_P11_MODULE_PATH) / library;
        if (fs::exists(path)) {
            modules.add(path.stem().string(), path);
            // OpenSC starts and finds no reader; tpm2-pkcs11 cannot start without a TPM.
            idleLines.push_back(path.stem() == "opensc-pkcs11"
                                    ? "DEBUG No token in PKCS#11 module " + path.string() + "\n"
                                    : "DEBUG Cannot start PKCS#11 module libtpm2_pkcs11: ");
        }
    }
    const std::string request = signRequestText(
        signerDetails("Jane Citizen", fixture.ca.subjectKeyIdHex),
        {xmlEntry("a",
                  "<r><CounterpartData>c</CounterpartData><RenderedData>d</RenderedData></r>")});
    for (const json& row : testCases("host/misbehaving-modules.json", "rows")) {
        SCOPED_TRACE(row["what"].get<std::string>());
        fixture.pinentry.answer({PinAnswerScript::pin(fixture.token->userPin())});
        Environment environment =
            mergedEnvironments({fixture.hsm.environment(), fixture.pinentry.environment()});
        environment["KIVO_SHIM"] = row["shim"];
        environment["KIVO_SHIM_TARGET"] = SoftHsm::modulePath().string();
        environment["KIVO_VERBOSE_LOGGING"] = "ON";
        environment["TPM2_PKCS11_TCTI"] = "device:/dev/kivo-no-tpm";  // whatever the machine has
        HostSession host(environment, {}, modules.launcher());
        const bool browserLeaves = row.value("browserLeavesDuringSign", false);
        const json expected = row.value("answer", json());
        ASSERT_TRUE(host.send(request));
        if (browserLeaves) {
            ASSERT_TRUE(eventually([&] {
                return host.stderrText().find(row["printed"].back()) != std::string::npos;
            })) << host.logText();
            host.process().closeOutput();  // the host's channel watch ends it
        } else {
            const json answer = host.nextAnswer();
            if (expected.is_null()) {
                EXPECT_EQ(answer.value("result", ""), "ok") << answer.dump();
                EXPECT_EQ(answer.value("cert_serial", ""), fixture.jane.serialHex);
                // The channel is still in step: the next request gets its own answer.
                EXPECT_EQ(host.ask(R"({"type":"version"})").value("result", ""), "ok");
            } else {
                EXPECT_EQ(answer, expected);
            }
            host.process().closeInput();
            EXPECT_EQ(host.process().readRemainingOutput(answerTimeout), "");
        }
        EXPECT_EQ(host.finish(), expected.is_null() && !browserLeaves ? 0 : 1);
        EXPECT_EQ(fixture.pinentry.questionsAsked(), row["dialogs"]);
        std::vector<std::string> logLines = idleLines;
        logLines.push_back(std::regex_replace(row["log"].get<std::string>(),
                                              std::regex(R"(\$\{SHIM\})"), KIVO_SHIM_MODULE) +
                           "\n");
        for (const std::string& line : logLines) {
            EXPECT_NE(host.logText().find(line), std::string::npos) << line << host.logText();
        }
        for (const std::string line : row.value("printed", json::array())) {
            EXPECT_NE(host.stderrText().find(line + "\n"), std::string::npos) << line;
        }
    }
}

}  // namespace
}  // namespace kivo::testing
