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

// A loopback socket bound to `port` (0: one the kernel picks) and the port it got; -1 if taken.
std::pair<FileDescriptor, int> bindLoopback(int port) {
    FileDescriptor socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{
        AF_INET, htons(static_cast<std::uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
    auto* raw = reinterpret_cast<sockaddr*>(&address);
    socklen_t length = sizeof address;
    const bool bound =
        ::bind(socket.get(), raw, length) == 0 && ::getsockname(socket.get(), raw, &length) == 0;
    return {std::move(socket), bound ? ntohs(address.sin_port) : -1};
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

TEST(TpmToken, SignsWithTheTpmKeyAfterItsPinAndReportsAWrongPin) {
    std::string missing = std::getenv("DBUS_SESSION_BUS_ADDRESS") != nullptr
                              ? ""
                              : " a D-Bus session bus (dbus-run-session)";
    for (const char* program : {"swtpm", "tpm2-abrmd", "tpm2_ptool", "tpm2_getcap"}) {
        missing += platform::findExecutable(program) ? "" : std::string(" ") + program;
    }
    if (!fs::exists(tpmModule)) {
        // Appended in two steps: GCC 12 at -O3 warns (-Wrestrict) on " " + string here.
        missing.append(" ").append(tpmModule.string());
    }
    if (!missing.empty()) {
        printSkipBanner("the TPM token test", missing);
        GTEST_SKIP() << "missing:" << missing;
    }
    const TempDir dir;
    const TestCa ca = committedCa("ca");
    const IssuedCertificate jane = committedCertificate("jane");
    const Environment tpm{{"TPM2TOOLS_TCTI", resourceManager},
                          {"TPM2_PKCS11_TCTI", resourceManager},
                          {"TPM2_PKCS11_STORE", (dir / "store").string()}};
    // swtpm and tpm2-abrmd run until the test ends, each ready once tpm2_getcap reaches the TPM
    // through it.
    std::vector<std::unique_ptr<tools::HostProcess>> daemons;
    const auto start = [&](const std::string& program, std::vector<std::string> arguments,
                           const std::string& tcti) {
        const std::string output = (dir / (program + ".txt")).string();
        daemons.push_back(std::make_unique<tools::HostProcess>(
            tools::HostOptions{.binary = platform::findExecutable(program).value().string(),
                               .arguments = std::move(arguments),
                               .environment = {},
                               .unsetVariables = {},
                               .stderrPath = output}));
        ASSERT_TRUE(eventually([&] {
            return runCommand("tpm2_getcap " + tcti + " properties-fixed >/dev/null 2>&1") == 0;
        })) << program
            << " did not start: " << readFile(output);
    };
    fs::create_directories(dir / "state");
    fs::create_directories(dir / "store");
    const int port = freePortPair();
    const std::string tcti = "swtpm:port=" + std::to_string(port);
    start("swtpm",
          {"socket", "--tpm2", "--tpmstate", "dir=" + (dir / "state").string(), "--server",
           "type=tcp,bindaddr=127.0.0.1,port=" + std::to_string(port), "--ctrl",
           "type=tcp,bindaddr=127.0.0.1,port=" + std::to_string(port + 1), "--flags",
           "not-need-init,startup-clear"},
          "-T " + tcti);
    start("tpm2-abrmd", {"--session", "--tcti=" + tcti, "--allow-root"}, "-T " + resourceManager);
    // A token holding Jane's key and certificate.
    const std::string store = "--path=" + (dir / "store").string();
    const std::string label = "--label=" + tokenLabel;
    for (const std::vector<std::string>& step : std::vector<std::vector<std::string>>{
             {"tpm2_ptool", "init", store},
             {"tpm2_ptool", "addtoken", "--pid=1", label, "--userpin=" + userPin,
              "--sopin=86420864", store},
             {"tpm2_ptool", "import", "--privkey", jane.keyPem.string(), "--algorithm=rsa", label,
              "--key-label=jane", "--userpin=" + userPin, store},
             {"tpm2_ptool", "addcert", label, "--key-label=jane", store, jane.certPem.string()}}) {
        runProgram(step, tpm);
    }

    const RegisteredModules modules(dir / "modules");
    modules.add("tpm2_pkcs11", tpmModule);
    ScriptedPinentry pinentry(dir / "pinentry");
    const Environment environment = mergedEnvironments({tpm, pinentry.environment()});
    const std::string request = signRequestText(
        signerDetails("Jane Citizen", ca.subjectKeyIdHex),
        {xmlEntry("contract",
                  "<c><CounterpartData>t</CounterpartData><RenderedData>p</RenderedData></c>")});

    pinentry.answer({PinAnswerScript::pin(userPin)});
    HostSession host(environment, {}, modules.launcher());
    const json answer = host.ask(request);
    ASSERT_EQ(answer.value("result", ""), "ok") << answer.dump() << host.stderrText();
    EXPECT_EQ(answer.value("cert_serial", ""), jane.serialHex);
    const std::string signedDocument = decodedData(answer["signed_data"][0]);
    for (const char* element : {"CounterpartData", "RenderedData"}) {
        std::string output;
        EXPECT_EQ(verifyWithXmlsec(signedDocument, element, ca.certPem, output),
                  XmlsecVerdict::valid)
            << element << output;
    }
    // The one store holding the key is the TPM's token, and it asked for its PIN.
    ASSERT_EQ(pinentry.dialogs().size(), 1u);
    EXPECT_EQ(pinentry.dialogs()[0].kind, "GETPIN");
    EXPECT_TRUE(pinentry.dialogs()[0].description.ends_with("\nEnter the PIN of \"" + tokenLabel +
                                                            "\" to sign."))
        << pinentry.dialogs()[0].description;
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
