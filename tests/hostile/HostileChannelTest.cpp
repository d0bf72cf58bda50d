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

// The pid the holding pinentry writes to the FIFO "held" once its dialog is open; 0 when no
// dialog opens within a minute.
pid_t heldDialog(const foundation::FileDescriptor& held) {
    pollfd ready{held.get(), POLLIN, 0};
    std::array<char, 32> text{};
    return ::poll(&ready, 1, 60'000) == 1 && ::read(held.get(), text.data(), text.size() - 1) > 0
               ? static_cast<pid_t>(std::atol(text.data()))
               : 0;
}

// True once `pid` has ended (a zombie has ended too), within a minute.
bool ended(pid_t pid) {
    const foundation::FileDescriptor process(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    pollfd exited{process.get(), POLLIN, 0};
    return !process.valid() || ::poll(&exited, 1, 60'000) == 1;
}

enum class Hangup { outputBeforeRequest, inputDuringDialog, outputDuringDialog, killDuringDialog };

TEST(HostileChannel, NoDialogOrAnswerOutlivesTheBrowser) {
    SigningFixture& store = signingFixture();
    const std::filesystem::path held =
        std::filesystem::path(store.pinentry.environment().at("KIVO_TEST_PINENTRY_DIR")) / "held";
    for (const Hangup hangup : {Hangup::outputBeforeRequest, Hangup::inputDuringDialog,
                                Hangup::outputDuringDialog, Hangup::killDuringDialog}) {
        SCOPED_TRACE(static_cast<int>(hangup));
        // Only a browser that still reads gets an answer.
        const bool answered = hangup == Hangup::inputDuringDialog;
        store.pinentry.answer({PinAnswerScript::hold()});
        std::filesystem::remove(held);
        ASSERT_EQ(::mkfifo(held.c_str(), 0600), 0);
        const foundation::FileDescriptor heldReader(
            ::open(held.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        HostSession host(signingEnvironment());
        if (hangup == Hangup::outputBeforeRequest) {
            host.process().closeOutput();
        }
        ASSERT_TRUE(host.process().sendRaw(signRequest(signableDocument("a", "b"))));
        if (hangup == Hangup::outputBeforeRequest) {
            EXPECT_EQ(host.finish(), 1);
            EXPECT_EQ(store.pinentry.questionsAsked(), 0);
        } else {
            const pid_t dialog = heldDialog(heldReader);
            ASSERT_GT(dialog, 0);
            if (hangup == Hangup::inputDuringDialog) {
                host.process().closeInput();
                EXPECT_EQ(host.nextAnswer().value("error_message", ""),
                          "Failed to create signature: the browser closed the connection");
            } else if (hangup == Hangup::outputDuringDialog) {
                host.process().closeOutput();
            } else {
                ::kill(host.process().pid(), SIGTERM);
            }
            EXPECT_NE(host.finish(), 0);
            EXPECT_TRUE(ended(dialog)) << "the dialog outlived the request";
        }
        const std::string log = host.logText();
        EXPECT_EQ(log.find("Response message sent") != std::string::npos, answered) << log;
        EXPECT_EQ(log.find("User approved signing"), std::string::npos) << log;
    }
}

}  // namespace
}  // namespace kivo::testing
