// A TPM 2.0 key through the built host: a software TPM (swtpm) behind its resource manager
// (tpm2-abrmd, on the private session bus of the dbus-run-session this program runs in), a token
// made with tpm2_ptool holding the signer's key and certificate, and the TPM's PKCS#11 module
// registered for the host alone. Without those packages the test skips with a banner.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdlib>
#include <memory>
#include <nlohmann/json.hpp>

#include "HostClient.h"
#include "platform/PinEntry.h"
#include "support/HostSession.h"
#include "support/KeyStoreFixtures.h"
#include "support/XmlsecVerifier.h"

namespace kivo::testing {
namespace {

using foundation::FileDescriptor;
using nlohmann::json;
namespace fs = std::filesystem;

const fs::path tpmModule = fs::path(KIVO_P11_MODULE_PATH) / "libtpm2_pkcs11.so";
const std::string tokenLabel = "Kivo TPM";
// A PIN no log line could hold by chance.
const std::string userPin = "tpm-Pin-7531";
// Both TCTI users (tpm2-tools, the PKCS#11 module) reach the TPM through the resource manager.
const std::string resourceManager = "tabrmd:bus_type=session";

std::string missingParts() {
    std::string missing;
    if (std::getenv("DBUS_SESSION_BUS_ADDRESS") == nullptr) {
        missing += " a D-Bus session bus (dbus-run-session)";
    }
    for (const char* program : {"swtpm", "tpm2-abrmd", "tpm2_ptool", "tpm2_getcap"}) {
        if (!platform::findExecutable(program)) {
            missing += std::string(" ") + program;
        }
    }
    if (!fs::exists(tpmModule)) {
        missing += " " + tpmModule.string();
    }
    return missing;
}

// A loopback socket bound to `port` (0: one the kernel picks) and the port it got; -1 if taken.
std::pair<FileDescriptor, int> bindLoopback(int port) {
    FileDescriptor socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    auto* raw = reinterpret_cast<sockaddr*>(&address);
    socklen_t length = sizeof address;
    if (::bind(socket.get(), raw, length) != 0 || ::getsockname(socket.get(), raw, &length) != 0) {
        return {FileDescriptor(), -1};
    }
    return {std::move(socket), ntohs(address.sin_port)};
}

// Two free consecutive ports: swtpm takes commands on the first, control on the second.
int freePortPair() {
    for (int attempt = 0; attempt < 100; ++attempt) {
        const auto [held, port] = bindLoopback(0);
        if (port > 0 && port < 65535 && bindLoopback(port + 1).second > 0) {
            return port;
        }
    }
    throw std::runtime_error("no two consecutive free ports");
}

// swtpm and tpm2-abrmd running until the test ends, and a token holding Jane's key and
// certificate.
struct SoftwareTpm {
    TempDir dir;
    TestCa ca = committedCa("ca");
    IssuedCertificate jane = committedCertificate("jane");
    std::vector<std::unique_ptr<tools::HostProcess>> daemons;

    SoftwareTpm() {
        fs::create_directories(dir / "state");
        fs::create_directories(dir / "store");
        const std::string port = std::to_string(freePortPair());
        const std::string control = std::to_string(std::stoi(port) + 1);
        start("swtpm", {"socket", "--tpm2", "--tpmstate", "dir=" + (dir / "state").string(),
                        "--server", "type=tcp,bindaddr=127.0.0.1,port=" + port, "--ctrl",
                        "type=tcp,bindaddr=127.0.0.1,port=" + control, "--flags",
                        "not-need-init,startup-clear"});
        awaitTool({"tpm2_getcap", "-T", "swtpm:port=" + port, "properties-fixed"}, "swtpm");
        start("tpm2-abrmd", {"--session", "--tcti=swtpm:port=" + port, "--allow-root"});
        awaitTool({"tpm2_getcap", "properties-fixed"}, "tpm2-abrmd");
        const std::string store = "--path=" + (dir / "store").string();
        const std::string label = "--label=" + tokenLabel;
        for (const std::vector<std::string>& step : std::vector<std::vector<std::string>>{
                 {"init", store},
                 {"addtoken", "--pid=1", label, "--userpin=" + userPin, "--sopin=86420864", store},
                 {"import", "--privkey", jane.keyPem.string(), "--algorithm=rsa", label,
                  "--key-label=jane", "--userpin=" + userPin, store},
                 {"addcert", label, "--key-label=jane", store, jane.certPem.string()}}) {
            std::vector<std::string> command{"tpm2_ptool"};
            command.insert(command.end(), step.begin(), step.end());
            runProgram(command, environment());
        }
    }

    void start(const std::string& program, std::vector<std::string> arguments) {
        daemons.push_back(std::make_unique<tools::HostProcess>(
            tools::HostOptions{platform::findExecutable(program).value().string(),
                               std::move(arguments),
                               {},
                               {},
                               (dir / (program + ".txt")).string()}));
    }

    // Waits until `command` succeeds: `daemon` is ready.
    void awaitTool(const std::vector<std::string>& command, const std::string& daemon) const {
        const bool ready = eventually([&] {
            try {
                runProgram(command, environment());
                return true;
            } catch (const std::runtime_error&) {
                return false;
            }
        });
        if (!ready) {
            throw std::runtime_error(daemon +
                                     " did not start: " + readFile(dir / (daemon + ".txt")));
        }
    }

    Environment environment() const {
        return {{"TPM2TOOLS_TCTI", resourceManager},
                {"TPM2_PKCS11_TCTI", resourceManager},
                {"TPM2_PKCS11_STORE", (dir / "store").string()}};
    }
};

TEST(TpmToken, SignsWithTheTpmKeyAfterItsPinAndReportsAWrongPin) {
    if (const std::string missing = missingParts(); !missing.empty()) {
        printSkipBanner("the TPM token test", missing);
        GTEST_SKIP() << "missing:" << missing;
    }
    const SoftwareTpm tpm;
    const RegisteredModules modules(tpm.dir / "modules");
    modules.add("tpm2_pkcs11", tpmModule);
    ScriptedPinentry pinentry(tpm.dir / "pinentry");
    const Environment environment = mergedEnvironments({tpm.environment(), pinentry.environment()});
    const std::string request =
        signRequestText(signerDetails("Jane Citizen", tpm.ca.subjectKeyIdHex),
                        {xmlEntry("contract",
                                  "<c><CounterpartData>terms</CounterpartData>"
                                  "<RenderedData>page</RenderedData></c>")});

    pinentry.answer({PinAnswerScript::pin(userPin)});
    HostSession host(environment, {}, modules.launcher());
    const json answer = host.ask(request);
    ASSERT_EQ(answer.value("result", ""), "ok") << answer.dump() << host.stderrText();
    EXPECT_EQ(answer.value("cert_serial", ""), tpm.jane.serialHex);
    const std::string signedDocument = decodedData(answer["signed_data"][0]);
    for (const char* element : {"CounterpartData", "RenderedData"}) {
        std::string output;
        EXPECT_EQ(verifyWithXmlsec(signedDocument, element, tpm.ca.certPem, output),
                  XmlsecVerdict::valid)
            << element << output;
    }
    // The one store holding the key is the TPM's token, and it asked for its PIN.
    const std::vector<PinentryDialog> dialogs = pinentry.dialogs();
    ASSERT_EQ(dialogs.size(), 1u);
    EXPECT_EQ(dialogs[0].kind, "GETPIN");
    EXPECT_NE(dialogs[0].description.find("Enter the PIN of \"" + tokenLabel + "\" to sign."),
              std::string::npos)
        << dialogs[0].description;
    EXPECT_EQ(host.finish(), 0);
    EXPECT_EQ(host.logText().find(userPin), std::string::npos) << "the PIN reached the log";

    pinentry.answer(std::vector<PinAnswerScript>(3, PinAnswerScript::pin("0000")));
    HostSession wrongPin(environment, {}, modules.launcher());
    EXPECT_EQ(wrongPin.ask(request),
              (json{{"result", "error"},
                    {"error_code", 100},
                    {"error_message", "Failed to create signature: CKR_PIN_INCORRECT"}}));
    EXPECT_EQ(pinentry.questionsAsked(), 3);
    EXPECT_EQ(wrongPin.finish(), 1);
}

}  // namespace
}  // namespace kivo::testing
