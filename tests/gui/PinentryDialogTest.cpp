// The approval as a user meets it: Debian's pinentry-gtk2 on a virtual X display (Xvfb, started
// by xvfb-run around this program), typed at with xdotool. A token identity takes its PIN; a
// password-less NSS identity takes a click on "Sign". Screenshots of both dialogs stay in
// $KIVO_GUI_SCREENSHOTS; when tesseract is there, the signer's name must be legible in them.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <nlohmann/json.hpp>
#include <thread>

#include "platform/PinEntry.h"
#include "support/HostSession.h"
#include "support/KeyStoreFixtures.h"

namespace kivo::testing {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;

constexpr const char* graphicalPinentry = "/usr/bin/pinentry-gtk-2";

// What the test needs and is missing; empty when it can run.
std::string missingParts() {
    std::string missing;
    if (std::getenv("DISPLAY") == nullptr) {
        missing += " an X display (xvfb-run, package xvfb)";
    }
    if (!platform::findExecutable(graphicalPinentry)) {
        missing += " pinentry-gtk2";
    }
    for (const char* program : {"xdotool", "xwd", "xwdtopnm", "pamscale", "pnmtopng", "timeout"}) {
        if (!platform::findExecutable(program)) {
            missing += std::string(" ") + program;
        }
    }
    return missing;
}

std::string firstLine(const std::string& text) {
    return text.substr(0, text.find('\n'));
}

std::string collapsedSpaces(const std::string& text) {
    std::string result;
    for (const char c : text) {
        const bool space = std::isspace(static_cast<unsigned char>(c)) != 0;
        if (!space || (!result.empty() && result.back() != ' ')) {
            result += space ? ' ' : c;
        }
    }
    return result;
}

// The pinentry window, once it is shown and has the keyboard focus.
std::string awaitDialog() {
    const std::string window = firstLine(runProgram(
        {"timeout", "60", "xdotool", "search", "--sync", "--onlyvisible", "--class", "pinentry"}));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (firstLine(runProgram({"xdotool", "getwindowfocus"})) != window) {
        if (std::chrono::steady_clock::now() > deadline) {
            throw std::runtime_error("the pinentry window never got the keyboard focus");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));  // polling, not waiting
    }
    return window;
}

// The window as a PNG, enlarged `scale` times.
void screenshot(const std::string& window, const fs::path& png, int scale = 1) {
    runProgram(
        {"sh", "-c",
         "xwd -silent -id \"$0\" | xwdtopnm 2>/dev/null | pamscale \"$2\" | pnmtopng >\"$1\"",
         window, png.string(), std::to_string(scale)});
}

// The dialog's text as tesseract reads it, enlarged first; none without tesseract.
std::optional<std::string> readText(const std::string& window, const fs::path& folder) {
    if (!platform::findExecutable("tesseract")) {
        return std::nullopt;
    }
    screenshot(window, folder / "ocr.png", 3);
    return collapsedSpaces(runProgram({"tesseract", (folder / "ocr.png").string(), "stdout"}));
}

TEST(GraphicalPinentry, TokenPinAndNssConfirmationThroughARealDialog) {
    if (const std::string missing = missingParts(); !missing.empty()) {
        printSkipBanner("the real pinentry dialog test", missing);
        GTEST_SKIP() << "missing:" << missing;
    }
    const char* shots = std::getenv("KIVO_GUI_SCREENSHOTS");
    ASSERT_NE(shots, nullptr) << "KIVO_GUI_SCREENSHOTS names the screenshot folder";
    fs::create_directories(shots);

    TempDir dir;
    const TestCa ca = makeCa(dir / "ca", "Kivo Demo CA");
    TestHome home(dir / "home");
    SoftHsm hsm(dir / "softhsm");
    const SoftHsmToken token = hsm.addToken("Kivo Card", "4321");
    CertificateFields jane;
    jane.commonName = "Jane Citizen";
    token.importIdentity(issueCertificate(dir / "issued", ca, jane, "jane"), "01");
    CertificateFields nora = jane;
    nora.commonName = "Nora Browser";
    NssDatabase(home.path())
        .importPkcs12(issueCertificate(dir / "issued", ca, nora, "nora"), "nora");
    Environment environment = mergedEnvironments({home.environment(), hsm.environment()});
    environment["KIVO_PINENTRY"] = graphicalPinentry;

    const struct {
        const char* what;
        std::string signer;
        std::vector<std::string> keys;  // what xdotool presses in the dialog
        const char* screenshot;
    } cases[] = {
        {"token PIN", "Jane Citizen", {"type", "--delay", "30", "4321"}, "approval-pin.png"},
        // The focus starts on Cancel: a stray Enter never signs.
        {"confirmation", "Nora Browser", {"key", "Tab"}, "approval-confirm.png"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        HostSession host(environment, {"chrome-extension://kivodemoextension/"});
        ASSERT_TRUE(host.send(signRequestText(
            signerDetails(c.signer, ca.subjectKeyIdHex),
            {xmlEntry(
                "contract-2026-117",
                "<r><CounterpartData>c</CounterpartData><RenderedData>d</RenderedData></r>")})));
        const std::string window = awaitDialog();
        screenshot(window, fs::path(shots) / c.screenshot);
        if (const auto text = readText(window, dir.path())) {
            EXPECT_NE(text->find(c.signer), std::string::npos) << "tesseract read: " << *text;
            EXPECT_NE(text->find("contract-2026-117"), std::string::npos) << *text;
        } else {
            std::cerr << "*** tesseract not installed: the dialog text is not checked\n";
        }
        std::vector<std::string> keys{"xdotool"};
        keys.insert(keys.end(), c.keys.begin(), c.keys.end());
        runProgram(keys);
        runProgram({"xdotool", "key", "Return"});
        const json reply = host.nextAnswer();
        EXPECT_EQ(reply.value("result", ""), "ok") << reply.dump();
        EXPECT_EQ(reply["signed_data"].size(), 1u);
        EXPECT_EQ(host.finish(), 0);
        EXPECT_NE(host.logText().find("INFO  User approved signing\n"), std::string::npos);
    }
}

}  // namespace
}  // namespace kivo::testing
