#include "platform/PinEntry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/KeyStoreFixtures.h"
#include "support/TempDir.h"

namespace kivo::testing {
namespace {

using platform::PinEntry;
using platform::PinEntryOutcome;
using platform::PinRequest;

PinRequest request(std::optional<std::string> error = std::nullopt) {
    return PinRequest{"Signing", "Enter the PIN", "PIN:", std::move(error)};
}

std::filesystem::path writeScript(const TempDir& dir, const std::string& name,
                                  const std::string& body) {
    const auto path = dir / name;
    writeFile(path, "#!/bin/sh\n" + body);
    ::chmod(path.c_str(), 0755);
    return path;
}

TEST(PinEntry, ReturnsThePinExactlyAsEntered) {
    TempDir dir;
    ScriptedPinentry pinentry(dir / "pinentry");
    const ScopedEnvironment environment(pinentry.environment());
    const PinEntry entry(ScriptedPinentry::scriptPath().string());
    for (const std::string pin : {"1234", "", "50% off\nnext line", "ünï côdé \\ \" '"}) {
        pinentry.answer({PinAnswerScript::pin(pin)});
        const auto answer = entry.ask(request());
        EXPECT_EQ(answer.outcome, PinEntryOutcome::entered);
        EXPECT_EQ(answer.pin.view(), pin);
    }
}

TEST(PinEntry, SendsTheTextsEscaped) {
    TempDir dir;
    ScriptedPinentry pinentry(dir / "pinentry");
    const ScopedEnvironment environment(pinentry.environment());
    pinentry.answer({PinAnswerScript::pin("1")});
    PinEntry(ScriptedPinentry::scriptPath().string())
        .ask(PinRequest{"Title", "100% sure\r\nreally", "PIN:", "Wrong PIN."});
    EXPECT_EQ(pinentry.commands(),
              (std::vector<std::string>{"SETTITLE Title", "SETDESC 100%25 sure%0D%0Areally",
                                        "SETPROMPT PIN:", "SETERROR Wrong PIN.", "GETPIN", "BYE"}));
}

TEST(PinEntry, OutcomesOtherThanAPin) {
    TempDir dir;
    ScriptedPinentry pinentry(dir / "pinentry");
    const ScopedEnvironment environment(pinentry.environment());
    const PinEntry entry(ScriptedPinentry::scriptPath().string());
    const std::vector<std::pair<PinAnswerScript, PinEntryOutcome>> cases{
        {PinAnswerScript::cancel(), PinEntryOutcome::cancelled},
        {PinAnswerScript::fail(), PinEntryOutcome::failed},
        {PinAnswerScript::hangUp(), PinEntryOutcome::failed},
    };
    for (const auto& [script, outcome] : cases) {
        SCOPED_TRACE(script.line);
        pinentry.answer({script});
        const auto answer = entry.ask(request());
        EXPECT_EQ(answer.outcome, outcome);
        EXPECT_TRUE(answer.pin.empty());
    }
}

TEST(PinEntry, MissingProgram) {
    TempDir dir;
    writeFile(dir / "not-executable", "#!/bin/sh\n");
    const std::vector<std::string> programs{"/nonexistent/pinentry", "kivo-no-such-pinentry",
                                            (dir / "not-executable").string(), ""};
    for (const std::string& program : programs) {
        SCOPED_TRACE(program);
        EXPECT_EQ(PinEntry(program).ask(request()).outcome, PinEntryOutcome::noProgram);
    }
}

TEST(PinEntry, FindsProgramsOnPath) {
    TempDir dir;
    const auto script = writeScript(dir, "my-pinentry", "exit 0\n");
    const ScopedEnvironment environment({{"PATH", "/nonexistent:" + dir.path().string()}});
    EXPECT_EQ(platform::findExecutable("my-pinentry"), script);
    EXPECT_EQ(platform::findExecutable(script.string()), script);
    EXPECT_FALSE(platform::findExecutable("sh"));
}

// Programs that break the protocol cost a clear failure, never a hang or unbounded memory.
TEST(PinEntry, MisbehavingProgramsFail) {
    TempDir dir;
    const std::vector<std::pair<std::string, std::string>> programs{
        {"no greeting", "echo 'ERR 1 not today'\n"},
        {"endless line",
         "echo OK; while read -r line; do head -c 100000 /dev/zero | tr '\\0' a; done\n"},
        {"bad escape",
         "echo OK; while read -r l; do case $l in GETPIN) printf 'D 1%%zz\\nOK\\n';;"
         " *) echo OK;; esac; done\n"},
        {"huge pin",
         "echo OK; while read -r l; do case $l in GETPIN) printf 'D '; head -c 900 /dev/zero | tr "
         "'\\0' 1; printf '\\nD '; head -c 900 /dev/zero | tr '\\0' 2; printf '\\nOK\\n';; *) "
         "echo OK;; esac; done\n"},
        {"exits at once", "exit 3\n"},
    };
    for (const auto& [name, body] : programs) {
        SCOPED_TRACE(name);
        const auto script = writeScript(dir, "pinentry", body);
        EXPECT_EQ(PinEntry(script.string()).ask(request()).outcome, PinEntryOutcome::failed);
    }
}

TEST(PinEntry, SilentProgramTimesOut) {
    TempDir dir;
    const auto script = writeScript(dir, "pinentry", "echo OK\nexec sleep 600\n");
    const auto answer = PinEntry(script.string(), std::chrono::milliseconds(100)).ask(request());
    EXPECT_EQ(answer.outcome, PinEntryOutcome::failed);
}

}  // namespace
}  // namespace kivo::testing
