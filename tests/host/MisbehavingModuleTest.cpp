// PKCS#11 modules that print, fail or hang, played by the module of tests/platform/shim over a
// SoftHSM2 token and registered alone for each host: every case ends in its documented answer
// (or the host's end), never in a crash, a hang or anything but frames on the browser's channel.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>

#include "support/HostSession.h"
#include "support/KeyStoreFixtures.h"

namespace kivo::testing {
namespace {

using nlohmann::json;

const std::string xml = "<r><CounterpartData>c</CounterpartData><RenderedData>d</RenderedData></r>";

// Made once: key generation is what takes the time.
struct Scene {
    TempDir dir;
    TestCa ca = makeCa(dir / "ca", "Kivo Module CA");
    IssuedCertificate jane = issueCertificate(dir / "issued", ca, CertificateFields{}, "jane");
    SoftHsm hsm{dir / "softhsm"};
    SoftHsmToken token = hsm.addToken("Shim Token", "24681357");
    ScriptedPinentry pinentry{dir / "pinentry"};

    Scene() { token.importIdentity(jane, "01"); }

    Environment environment(const std::string& switches) const {
        Environment environment = mergedEnvironments({hsm.environment(), pinentry.environment()});
        environment["KIVO_SHIM"] = switches;
        environment["KIVO_SHIM_TARGET"] = SoftHsm::modulePath().string();
        environment["KIVO_VERBOSE_LOGGING"] = "ON";
        // A TPM's module registered beside it finds no TPM, whatever the machine has.
        environment["TPM2_PKCS11_TCTI"] = "device:/dev/kivo-no-tpm";
        return environment;
    }
    std::string signRequest() const {
        return signRequestText(signerDetails("Jane Citizen", ca.subjectKeyIdHex),
                               {xmlEntry("a", xml)});
    }
    // The shim alone, or with the idle modules that desktops register.
    RegisteredModules modules(const std::string& folder, bool withIdleModules = false) const {
        RegisteredModules modules(dir / folder);
        modules.add("misbehaving", KIVO_SHIM_MODULE);
        if (withIdleModules) {
            for (const char* idle : {"opensc-pkcs11.so", "libtpm2_pkcs11.so"}) {
                const std::filesystem::path library =
                    std::filesystem::path(KIVO_P11_MODULE_PATH) / idle;
                if (std::filesystem::exists(library)) {
                    modules.add(library.stem().string(), library);
                }
            }
        }
        return modules;
    }
};

const Scene& scene() {
    static const auto shared = std::make_unique<const Scene>();
    return *shared;
}

json failure(int code, const std::string& message) {
    return {{"result", "error"}, {"error_code", code}, {"error_message", message}};
}

// Each case through its own host. A host stuck in the module ends when the browser closes the
// port (its channel watch); any other ends with its answer and the end of its input.
TEST(MisbehavingModules, EachEndsInItsDocumentedAnswerAndOnlyFramesReachTheBrowser) {
    const std::string shim = KIVO_SHIM_MODULE;
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
         "DEBUG Cannot list the tokens of PKCS#11 module " + shim + ": CKR_DEVICE_ERROR",
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
         {},
         "ERROR The browser closed the connection while a request was served; the host ends",
         {signC},
         true},
    };
    const RegisteredModules modules = scene().modules("modules");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        scene().pinentry.answer({PinAnswerScript::pin("24681357")});
        HostSession host(scene().environment(c.switches), {}, modules.launcher());
        if (c.browserLeavesDuringSign) {
            ASSERT_TRUE(host.send(scene().signRequest()));
            ASSERT_TRUE(eventually([&] {
                return host.stderrText().find(signC) != std::string::npos;
            })) << host.logText();
            host.process().closeOutput();
        } else {
            const json answer = host.ask(scene().signRequest());
            if (c.answer.is_null()) {
                EXPECT_EQ(answer.value("result", ""), "ok") << answer.dump();
                EXPECT_EQ(answer.value("cert_serial", ""), scene().jane.serialHex);
                // The channel is still in step: the next request gets its own answer.
                EXPECT_EQ(host.ask(R"({"type":"version"})").value("result", ""), "ok");
            } else {
                EXPECT_EQ(answer, c.answer);
            }
            host.process().closeInput();
            EXPECT_EQ(host.process().readRemainingOutput(answerTimeout), "");
        }
        EXPECT_EQ(host.finish(), c.answer.is_null() && !c.browserLeavesDuringSign ? 0 : 1);
        EXPECT_NE(host.logText().find(c.logLine + "\n"), std::string::npos) << host.logText();
        for (const std::string& line : c.printed) {
            EXPECT_NE(host.stderrText().find(line + "\n"), std::string::npos) << line;
        }
    }
}

// Modules a desktop registers that find nothing (a card reader module with no reader, a TPM's
// module with no TPM) are passed by: the answer is the same byte for byte.
TEST(MisbehavingModules, IdleModulesArePassedByAndTheAnswerIsUnchanged) {
    const auto signWith = [](const RegisteredModules& modules, std::string& log) {
        scene().pinentry.answer({PinAnswerScript::pin("24681357")});
        HostSession host(scene().environment(""), {}, modules.launcher());
        const std::optional<std::string> answer = (host.send(scene().signRequest()), host.answer());
        EXPECT_EQ(host.finish(), 0);
        log = host.logText();
        return answer.value_or("");
    };
    std::string alone;
    std::string besideIdle;
    const std::string expected = signWith(scene().modules("alone"), alone);
    EXPECT_NE(expected.find(R"("result":"ok")"), std::string::npos) << expected;
    EXPECT_EQ(signWith(scene().modules("beside-idle", true), besideIdle), expected);
    const std::string openSc = std::string(KIVO_P11_MODULE_PATH) + "/opensc-pkcs11.so";
    EXPECT_NE(besideIdle.find("DEBUG No token in PKCS#11 module " + openSc + "\n"),
              std::string::npos)
        << besideIdle;
    if (std::filesystem::exists(std::string(KIVO_P11_MODULE_PATH) + "/libtpm2_pkcs11.so")) {
        EXPECT_NE(besideIdle.find("DEBUG Cannot start PKCS#11 module libtpm2_pkcs11: "),
                  std::string::npos)
            << besideIdle;
    }
}

}  // namespace
}  // namespace kivo::testing
