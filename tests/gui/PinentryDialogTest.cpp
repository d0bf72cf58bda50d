// The approval as a user meets it: Debian's pinentry-gtk2 on a virtual X display (Xvfb, started
// by xvfb-run around this program), typed at with xdotool. A token identity takes its PIN; a
// password-less NSS identity takes a click on "Sign". Screenshots of both dialogs stay in
// $KIVO_GUI_SCREENSHOTS. What the dialogs say is checked at the Assuan level (tests/protocol).

#include <gtest/gtest.h>

#include <cstdlib>
#include <nlohmann/json.hpp>
#include <stdexcept>

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
    std::string missing = std::getenv("DISPLAY") ? "" : " an X display (xvfb-run, package xvfb)";
    for (const char* program :
         {graphicalPinentry, "xdotool", "xwd", "xwdtopnm", "pnmtopng", "timeout"}) {
        if (!platform::findExecutable(program)) {
            missing += std::string(" ") + program;
        }
    }
    return missing;
}

std::string firstLine(const std::string& text) {
    return text.substr(0, text.find('\n'));
}

// The pinentry window, once it is shown and has the keyboard focus.
std::string awaitDialog() {
    const std::string window = firstLine(runProgram(
        {"timeout", "60", "xdotool", "search", "--sync", "--onlyvisible", "--class", "pinentry"}));
    if (!eventually([&] {
            return firstLine(runProgram({"xdotool", "getwindowfocus"})) == window;
        })) {
        throw std::runtime_error("the pinentry window never got the keyboard focus");
    }
    return window;
}

// The window as a PNG.
void screenshot(const std::string& window, const fs::path& png) {
    runProgram({"sh", "-c", "xwd -silent -id \"$0\" | xwdtopnm 2>/dev/null | pnmtopng >\"$1\"",
                window, png.string()});
}

TEST(GraphicalPinentry, TokenPinAndNssConfirmationThroughARealDialog) {
    if (const std::string missing = missingParts(); !missing.empty()) {
        printSkipBanner("the real pinentry dialog test", missing);
        GTEST_SKIP() << "missing:" << missing;
    }
    const char* shots = std::getenv("KIVO_GUI_SCREENSHOTS");
    ASSERT_NE(shots, nullptr) << "KIVO_GUI_SCREENSHOTS names the screenshot folder";
    fs::create_directories(shots);

    const SigningFixture& fixture = signingFixture();
    Environment environment = fixture.environment();
    environment["KIVO_PINENTRY"] = graphicalPinentry;

    const struct {
        std::string signer;
        std::vector<std::string> keys;  // what xdotool presses in the dialog
        const char* screenshot;
    } cases[] = {
        {"Jane Citizen",
         {"xdotool", "type", "--delay", "30", fixture.token->userPin()},
         "approval-pin.png"},
        // The focus starts on Cancel: a stray Enter never signs.
        {"Nora Nss", {"xdotool", "key", "Tab"}, "approval-confirm.png"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.screenshot);
        HostSession host(environment, {"chrome-extension://kivodemoextension/"});
        ASSERT_TRUE(host.send(signRequestText(
            signerDetails(c.signer, fixture.ca.subjectKeyIdHex),
            {xmlEntry(
                "contract-2026-117",
                "<r><CounterpartData>c</CounterpartData><RenderedData>d</RenderedData></r>")})));
        const std::string window = awaitDialog();
        screenshot(window, fs::path(shots) / c.screenshot);
        runProgram(c.keys);
        runProgram({"xdotool", "key", "Return"});
        const json reply = host.nextAnswer();
        EXPECT_EQ(reply.value("result", ""), "ok") << reply.dump();
        EXPECT_EQ(reply["signed_data"].size(), 1u);
        EXPECT_EQ(host.finish(), 0);
    }
}

}  // namespace
}  // namespace kivo::testing
