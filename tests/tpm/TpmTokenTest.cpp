// A TPM 2.0 key through the built host: a software TPM (swtpm) behind its resource manager
// (tpm2-abrmd, on the private session bus of the dbus-run-session this program runs in), a token
// made with tpm2_ptool holding the signer's key and certificate, and the TPM's PKCS#11 module
// registered for the host alone. Without those packages the test skips with a banner.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <thread>

#include "HostClient.h"
#include "platform/PinEntry.h"
#include "support/HostSession.h"
#include "support/KeyStoreFixtures.h"
#include "support/XmlsecVerifier.h"

namespace kivo::testing {
namespace {

using foundation::FileDescriptor;
using nlohmann::json;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

const fs::path tpmModule = fs::path(KIVO_P11_MODULE_PATH) / "libtpm2_pkcs11.so";
const std::string tokenLabel = "Kivo TPM";
const std::string userPin = "7531";
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

// A loopback TCP socket bound to `port` (0: any free one); invalid when the port is taken.
FileDescriptor boundSocket(int port) {
    FileDescriptor socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::bind(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        return FileDescriptor();
    }
    return socket;
}

int portOf(const FileDescriptor& socket) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    ::getsockname(socket.get(), reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

// Two free consecutive ports: swtpm takes commands on the first, control on the second.
int freePortPair() {
    for (int attempt = 0; attempt < 100; ++attempt) {
        const FileDescriptor first = boundSocket(0);
        const int port = portOf(first);
        if (port < 65535 && boundSocket(port + 1).valid()) {
            return port;
        }
    }
    throw std::runtime_error("no two consecutive free ports");
}

bool accepts(int port) {
    FileDescriptor socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    return ::connect(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

// Polls `ready` until it holds; false once `limit` has passed.
template <typename Check>
bool awaitReady(Check ready, std::chrono::seconds limit = 30s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!ready()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(50ms);  // polling, not waiting
    }
    return true;
}

// A program running in the background until the test ends.
std::unique_ptr<tools::HostProcess> startProgram(const std::string& program,
                                                 std::vector<std::string> arguments,
                                                 const fs::path& stderrPath) {
    tools::HostOptions options;
    options.binary = platform::findExecutable(program).value().string();
    options.arguments = std::move(arguments);
    options.stderrPath = stderrPath.string();
    return std::make_unique<tools::HostProcess>(options);
}

// swtpm and tpm2-abrmd running, and a token holding Jane's key and certificate.
struct SoftwareTpm {
    TempDir dir;
    TestCa ca = makeCa(dir / "ca", "Kivo TPM CA");
    IssuedCertificate jane = issueCertificate(dir / "issued", ca, CertificateFields{}, "jane");
    std::unique_ptr<tools::HostProcess> swtpm;
    std::unique_ptr<tools::HostProcess> resourceManagerDaemon;

    SoftwareTpm() {
        fs::create_directories(dir / "state");
        const int port = freePortPair();
        swtpm = startProgram(
            "swtpm",
            {"socket", "--tpm2", "--tpmstate", "dir=" + (dir / "state").string(), "--server",
             "type=tcp,port=" + std::to_string(port) + ",bindaddr=127.0.0.1", "--ctrl",
             "type=tcp,port=" + std::to_string(port + 1) + ",bindaddr=127.0.0.1", "--flags",
             "not-need-init,startup-clear"},
            dir / "swtpm.txt");
        if (!awaitReady([&] { return accepts(port + 1); })) {
            throw std::runtime_error("swtpm did not start: " + readFile(dir / "swtpm.txt"));
        }
        resourceManagerDaemon =
            startProgram("tpm2-abrmd",
                         {"--session", "--tcti=swtpm:port=" + std::to_string(port), "--allow-root"},
                         dir / "tpm2-abrmd.txt");
        if (!awaitReady([&] { return tool({"tpm2_getcap", "properties-fixed"}); })) {
            throw std::runtime_error("tpm2-abrmd did not start: " +
                                     readFile(dir / "tpm2-abrmd.txt"));
        }
        const std::string store = "--path=" + (dir / "store").string();
        fs::create_directories(dir / "store");
        runProgram({"tpm2_ptool", "init", store}, environment());
        runProgram({"tpm2_ptool", "addtoken", "--pid=1", "--label=" + tokenLabel,
                    "--userpin=" + userPin, "--sopin=86420864", store},
                   environment());
        runProgram({"tpm2_ptool", "import", "--privkey", jane.keyPem.string(), "--algorithm=rsa",
                    "--label=" + tokenLabel, "--key-label=jane", "--userpin=" + userPin, store},
                   environment());
        runProgram({"tpm2_ptool", "addcert", "--label=" + tokenLabel, "--key-label=jane", store,
                    jane.certPem.string()},
                   environment());
    }

    bool tool(const std::vector<std::string>& command) const {
        try {
            runProgram(command, environment());
            return true;
        } catch (const std::runtime_error&) {
            return false;
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
        std::cerr << "\n"
                  << "**********************************************************************\n"
                  << "*** SKIPPED: the TPM token test needs:" << missing << "\n"
                  << "*** install them with scripts/install-deps.sh\n"
                  << "**********************************************************************\n";
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
