// PKCS#11 modules that print, fail or hang, played by the module of tests/platform/shim over the
// fixture's SoftHSM2 token. Each host sees the shim beside the idle modules desktops often
// register (OpenSC's with no reader, tpm2-pkcs11's with no TPM): every case ends in its documented
// answer (or the host's end), never in a crash, a hang or anything but frames on the browser's
// channel, and the idle modules are passed by.

#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "support/HostSession.h"
#include "support/KeyStoreFixtures.h"

namespace kivo::testing {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;

json failure(int code, const std::string& message) {
    return {{"result", "error"}, {"error_code", code}, {"error_message", message}};
}

TEST(MisbehavingModules, EachEndsInItsDocumentedAnswerAndOnlyFramesReachTheBrowser) {
    const SigningFixture& fixture = signingFixture();
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
    const std::string request =
        signRequestText(signerDetails("Jane Citizen", fixture.ca.subjectKeyIdHex),
                        {xmlEntry("a",
                                  "<r><CounterpartData>c</CounterpartData>"
                                  "<RenderedData>d</RenderedData></r>")});
    const std::string approved = "INFO  User approved signing";
    const std::string signC = "misbehaving module: C_Sign";
    const struct {
        const char* what;
        const char* switches;
        json answer;  // null: signed (or, when the browser leaves, none)
        std::string logLine;
        std::vector<std::string> printed;  // on the host's standard error
        bool browserLeavesDuringSign = false;
    } cases[] = {
        {"prints to standard output at load and at signing",
         "print-initialize,print-sign",
         nullptr,
         approved,
         {"misbehaving module: C_Initialize", signC}},
        {"C_Initialize fails",
         "fail-initialize",
         failure(102, "Certificate not found"),
         "DEBUG Cannot start PKCS#11 module misbehaving: CKR_DEVICE_ERROR",
         {}},
        {"C_GetSlotList fails",
         "fail-slot-list",
         failure(102, "Certificate not found"),
         std::string("DEBUG Cannot list the tokens of PKCS#11 module ") + KIVO_SHIM_MODULE +
             ": CKR_DEVICE_ERROR",
         {}},
        {"device removed before signing",
         "removed=0x32",
         failure(100, "Failed to create signature: CKR_DEVICE_REMOVED"),
         approved,
         {}},
        {"token taken out before signing",
         "removed=0xE0",
         failure(100, "Failed to create signature: CKR_TOKEN_NOT_PRESENT"),
         approved,
         {}},
        {"session gone before signing",
         "removed=0xB3",
         failure(100, "Failed to create signature: CKR_SESSION_HANDLE_INVALID"),
         approved,
         {}},
        {"hangs in C_Sign while the browser closes the port",
         "print-sign,hang-sign",
         nullptr,
         "ERROR The browser closed the connection while a request was served; the host ends",
         {signC},
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fixture.pinentry.answer({PinAnswerScript::pin(fixture.token->userPin())});
        Environment environment =
            mergedEnvironments({fixture.hsm.environment(), fixture.pinentry.environment()});
        environment["KIVO_SHIM"] = c.switches;
        environment["KIVO_SHIM_TARGET"] = SoftHsm::modulePath().string();
        environment["KIVO_VERBOSE_LOGGING"] = "ON";
        environment["TPM2_PKCS11_TCTI"] = "device:/dev/kivo-no-tpm";  // whatever the machine has
        HostSession host(environment, {}, modules.launcher());
        if (c.browserLeavesDuringSign) {
            ASSERT_TRUE(host.send(request));
            ASSERT_TRUE(eventually([&] {
                return host.stderrText().find(signC) != std::string::npos;
            })) << host.logText();
            host.process().closeOutput();  // the host's channel watch ends it
        } else {
            const json answer = host.ask(request);
            if (c.answer.is_null()) {
                EXPECT_EQ(answer.value("result", ""), "ok") << answer.dump();
                EXPECT_EQ(answer.value("cert_serial", ""), fixture.jane.serialHex);
                // The channel is still in step: the next request gets its own answer.
                EXPECT_EQ(host.ask(R"({"type":"version"})").value("result", ""), "ok");
            } else {
                EXPECT_EQ(answer, c.answer);
            }
            host.process().closeInput();
            EXPECT_EQ(host.process().readRemainingOutput(answerTimeout), "");
        }
        EXPECT_EQ(host.finish(), c.answer.is_null() && !c.browserLeavesDuringSign ? 0 : 1);
        const std::string log = host.logText();
        for (const std::string& line : idleLines) {
            EXPECT_NE(log.find(line), std::string::npos) << line;
        }
        EXPECT_NE(log.find(c.logLine + "\n"), std::string::npos) << log;
        for (const std::string& line : c.printed) {
            EXPECT_NE(host.stderrText().find(line + "\n"), std::string::npos) << line;
        }
    }
}

}  // namespace
}  // namespace kivo::testing
