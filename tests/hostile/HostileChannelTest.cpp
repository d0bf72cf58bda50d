// A browser that goes away in the middle of a request: nobody is asked for an answer nobody
// waits for, no dialog outlives the host or its request, and nothing is reported sent that was
// not.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>

#include "hostile/HostileHost.h"

namespace kivo::testing {
namespace {

using namespace std::chrono_literals;

// The pid the holding pinentry writes to the FIFO "held" once its dialog is open; none when no
// dialog opens within a minute.
std::optional<pid_t> heldDialog(const foundation::FileDescriptor& held) {
    pollfd ready{held.get(), POLLIN, 0};
    std::array<char, 32> text{};
    if (::poll(&ready, 1, 60'000) != 1 || ::read(held.get(), text.data(), text.size() - 1) <= 0) {
        return std::nullopt;
    }
    return static_cast<pid_t>(std::atol(text.data()));
}

// True once `pid` has ended (a zombie has ended too), within a minute.
bool ended(pid_t pid) {
    const foundation::FileDescriptor process(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    pollfd exited{process.get(), POLLIN, 0};
    return !process.valid() || ::poll(&exited, 1, 60'000) == 1;
}

enum class Hangup { outputBeforeRequest, inputDuringDialog, outputDuringDialog, killDuringDialog };

TEST(HostileChannel, NoDialogOrAnswerOutlivesTheBrowser) {
    const struct {
        Hangup hangup;
        std::optional<std::string> answer;  // the error message the host still answers with
        bool dialogShown;
    } cases[] = {
        {Hangup::outputBeforeRequest, std::nullopt, false},
        {Hangup::inputDuringDialog, "Failed to create signature: the browser closed the connection",
         true},
        {Hangup::outputDuringDialog, std::nullopt, true},
        {Hangup::killDuringDialog, std::nullopt, true},
    };
    SigningFixture& store = signingFixture();
    const std::filesystem::path pinentryDir =
        store.pinentry.environment().at("KIVO_TEST_PINENTRY_DIR");
    const std::string request = signRequest(signableDocument("a", "b"));
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.hangup));
        store.pinentry.answer({PinAnswerScript::hold()});
        std::filesystem::remove(pinentryDir / "held");
        ASSERT_EQ(::mkfifo((pinentryDir / "held").c_str(), 0600), 0);
        const foundation::FileDescriptor held(
            ::open((pinentryDir / "held").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        HostSession host(signingEnvironment());
        if (c.hangup == Hangup::outputBeforeRequest) {
            host.process().closeOutput();
        }
        ASSERT_TRUE(host.process().sendRaw(request));
        if (c.dialogShown) {
            const std::optional<pid_t> dialog = heldDialog(held);
            ASSERT_TRUE(dialog.has_value());
            switch (c.hangup) {
                case Hangup::inputDuringDialog:
                    host.process().closeInput();
                    break;
                case Hangup::outputDuringDialog:
                    host.process().closeOutput();
                    break;
                default:
                    ::kill(host.process().pid(), SIGTERM);
            }
            if (c.answer) {
                EXPECT_EQ(host.nextAnswer().value("error_message", ""), *c.answer);
            }
            EXPECT_NE(host.finish(), 0);
            EXPECT_TRUE(ended(*dialog)) << "the dialog outlived the request";
        } else {
            EXPECT_EQ(host.finish(), 1);
            EXPECT_EQ(store.pinentry.questionsAsked(), 0);
        }
        const std::string log = host.logText();
        EXPECT_EQ(log.find("Response message sent") == std::string::npos, !c.answer) << log;
        EXPECT_EQ(log.find("User approved signing"), std::string::npos) << log;
    }
}

}  // namespace
}  // namespace kivo::testing
