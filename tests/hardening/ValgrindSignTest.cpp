// One sign request end to end under valgrind: the built host signs a document with a key on a
// SoftHSM2 token after a PIN dialog, in a verbose session, and must leave no memory error and no
// leak of its own. The same session shows that even a verbose log never holds the PIN.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>

#include "HostClient.h"
#include "platform/PinEntry.h"
#include "support/HostSession.h"
#include "support/KeyStoreFixtures.h"
#include "support/TempDir.h"
#include "support/TestPki.h"

namespace kivo::testing {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

// Valgrind runs the host some twenty times slower than usual.
constexpr auto valgrindTimeout = 600s;

// Unlike anything else the session writes (timestamps, hex, base64), so a hit means the PIN.
const std::string tokenPin = "Pin-ohk-Quail-7";

constexpr const char* document =
    "<Contract><CounterpartData><Party>Jane Citizen</Party></CounterpartData>"
    "<RenderedData><Page>Terms</Page></RenderedData></Contract>";

TEST(Valgrind, SignSessionIsCleanAndItsVerboseLogHoldsNoPin) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "valgrind cannot run an AddressSanitizer build; the normal build runs this";
#endif
    const std::optional<std::filesystem::path> valgrind = platform::findExecutable("valgrind");
    ASSERT_TRUE(valgrind.has_value()) << "valgrind is not installed (scripts/install-deps.sh)";
    TempDir dir;
    TestHome home(dir / "home");
    SoftHsm softHsm(dir / "softhsm");
    const SoftHsmToken token = softHsm.addToken("Valgrind", tokenPin);
    const TestCa ca = makeCa(dir.path(), "Kivo Test CA");
    token.importIdentity(issueCertificate(dir.path(), ca, CertificateFields{}, "signer"), "01");
    ScriptedPinentry pinentry(dir / "pinentry");
    pinentry.answer({PinAnswerScript::pin(tokenPin)});

    const std::filesystem::path valgrindLog = dir / "valgrind.txt";
    tools::HostOptions options;
    options.binary = valgrind->string();
    options.arguments = {"--leak-check=full",
                         "--error-exitcode=1",
                         "--num-callers=40",
                         "--suppressions=" KIVO_SOURCE_DIR "/tests/valgrind.supp",
                         "--log-file=" + valgrindLog.string(),
                         KIVO_HOST_BINARY};
    options.unsetVariables = {"XDG_DATA_HOME"};
    options.environment = mergedEnvironments({home.environment(),
                                              softHsm.environment(),
                                              pinentry.environment(),
                                              {{"KIVO_VERBOSE_LOGGING", "ON"}}});
    tools::HostProcess host(options);

    ASSERT_TRUE(host.send(signRequestText(signerDetails("Jane Citizen", ca.subjectKeyIdHex),
                                          {xmlEntry("contract", document)})));
    const std::optional<std::string> answer = host.readMessage(valgrindTimeout);
    ASSERT_TRUE(answer.has_value()) << readFile(valgrindLog);
    const json reply = json::parse(*answer);
    EXPECT_EQ(reply.value("result", ""), "ok") << reply.dump();
    ASSERT_TRUE(reply.contains("signed_data")) << reply.dump();
    EXPECT_EQ(reply["signed_data"].size(), 1u);
    EXPECT_EQ(pinentry.questionsAsked(), 1);

    host.closeInput();
    EXPECT_EQ(host.waitForExit(valgrindTimeout), 0) << readFile(valgrindLog);
    const std::string report = readFile(valgrindLog);
    EXPECT_NE(report.find("ERROR SUMMARY: 0 errors from 0 contexts"), std::string::npos) << report;

    const std::string log = readFile(home.path() / "kivo-signing.log");
    EXPECT_NE(log.find(" DEBUG Request message = "), std::string::npos) << "not a verbose session";
    EXPECT_EQ(log.find(tokenPin), std::string::npos) << log;
}

}  // namespace
}  // namespace kivo::testing
