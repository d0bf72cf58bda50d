#include "platform/PinEntry.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <span>
#include <string_view>
#include <vector>

#include "foundation/FileDescriptor.h"

namespace kivo::platform {
namespace {

// Assuan lines are at most 1000 bytes.
constexpr std::size_t maximumLine = 1000;
// gpg-error's "Operation cancelled" and "Not confirmed" in the low 16 bits of an ERR code.
constexpr unsigned long cancelledErrorCode = 99;
constexpr unsigned long notConfirmedErrorCode = 114;

using foundation::FileDescriptor;

// The running pinentry, in its own process group: when the conversation ends, whatever of it
// (and of any helper it started) still runs is killed, so no dialog stays on screen.
class ChildProcess {
  public:
    explicit ChildProcess(pid_t pid) : pid_(pid) {}
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess() {
        ::kill(-pid_, SIGKILL);
        while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
        }
    }

  private:
    pid_t pid_;
};

// True when one of `fds` is hung up: poll reports only that when asked for no event.
bool anyHungUp(std::span<const int> fds, int timeoutMilliseconds) {
    std::vector<pollfd> watched;
    for (const int fd : fds) {
        watched.push_back(pollfd{fd, 0, 0});
    }
    return !watched.empty() && ::poll(watched.data(), watched.size(), timeoutMilliseconds) > 0 &&
           std::ranges::any_of(
               watched, [](const pollfd& p) { return (p.revents & (POLLHUP | POLLERR)) != 0; });
}

bool isExecutableFile(const std::filesystem::path& path) {
    std::error_code error;
    return std::filesystem::is_regular_file(path, error) && ::access(path.c_str(), X_OK) == 0;
}

// Assuan escapes "%", CR, LF and other control bytes in command arguments.
std::string escaped(std::string_view text) {
    static constexpr const char* hex = "0123456789ABCDEF";
    std::string result;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '%' || byte < 0x20 || byte == 0x7f) {
            result += '%';
            result += hex[byte >> 4];
            result += hex[byte & 0x0f];
        } else {
            result += c;
        }
    }
    return result;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

enum class Reply { ok, error, broken, hungUp };

// One Assuan conversation over a socket. Every byte read passes through `line_`, which is
// wiped after each line because data lines carry the PIN.
class Conversation {
  public:
    Conversation(int fd, std::span<const int> hangUpWatch, std::chrono::milliseconds timeout)
        : fd_(fd), hangUpWatch_(hangUpWatch), timeout_(timeout) {}
    Conversation(const Conversation&) = delete;
    Conversation& operator=(const Conversation&) = delete;
    ~Conversation() {
        OPENSSL_cleanse(line_.data(), line_.size());
        OPENSSL_cleanse(pending_.data(), pending_.size());
    }

    bool send(const std::string& command) {
        const std::string line = command + "\n";
        std::size_t sent = 0;
        while (sent < line.size()) {
            const ssize_t count = ::send(fd_, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
            if (count < 0 && errno == EINTR) {
                continue;
            }
            if (count <= 0) {
                return false;
            }
            sent += static_cast<std::size_t>(count);
        }
        return true;
    }

    // Reads to the OK or ERR that ends a reply; data lines go into `data` when given.
    Reply readReply(SecretText* data, unsigned long* errorCode = nullptr) {
        while (true) {
            std::size_t length = 0;
            if (!readLine(length)) {
                return hungUp_ ? Reply::hungUp : Reply::broken;
            }
            const std::string_view line(line_.data(), length);
            if (line == "OK" || line.starts_with("OK ")) {
                return Reply::ok;
            }
            if (line == "ERR" || line.starts_with("ERR ")) {
                if (errorCode != nullptr) {
                    *errorCode =
                        std::strtoul(line_.data() + std::min<std::size_t>(4, length), nullptr, 10);
                }
                return Reply::error;
            }
            if (line.starts_with("D ")) {
                if (data == nullptr || !decodeInto(line.substr(2), *data)) {
                    return Reply::broken;
                }
            } else if (line.starts_with("INQUIRE ")) {
                // Nothing to offer: an empty answer.
                if (!send("END")) {
                    return Reply::broken;
                }
            }
            // Status ("S ") and comment ("#") lines carry nothing needed here.
        }
    }

    Reply command(const std::string& text) {
        return send(text) ? readReply(nullptr) : Reply::broken;
    }

  private:
    static bool decodeInto(std::string_view text, SecretText& out) {
        for (std::size_t i = 0; i < text.size(); ++i) {
            char c = text[i];
            if (c == '%') {
                if (i + 2 >= text.size()) {
                    return false;
                }
                const int high = hexValue(text[i + 1]);
                const int low = hexValue(text[i + 2]);
                if (high < 0 || low < 0) {
                    return false;
                }
                c = static_cast<char>(high * 16 + low);
                i += 2;
            }
            if (!out.push_back(c)) {
                return false;
            }
        }
        return true;
    }

    // The next line, without its line feed, into line_[0, length).
    bool readLine(std::size_t& length) {
        OPENSSL_cleanse(line_.data(), line_.size());
        length = 0;
        while (true) {
            while (pendingStart_ < pendingEnd_) {
                const char c = pending_[pendingStart_++];
                if (c == '\n') {
                    return true;
                }
                if (length == maximumLine) {
                    return false;
                }
                line_[length++] = c;
            }
            if (!fill()) {
                return false;
            }
        }
    }

    // Waits for the program's next bytes, and for the browser hanging up meanwhile.
    bool fill() {
        std::vector<pollfd> waiting{pollfd{fd_, POLLIN, 0}};
        for (const int fd : hangUpWatch_) {
            waiting.push_back(pollfd{fd, 0, 0});
        }
        int ready = 0;
        do {
            ready = ::poll(waiting.data(), waiting.size(), static_cast<int>(timeout_.count()));
        } while (ready < 0 && errno == EINTR);
        if (ready <= 0) {
            return false;
        }
        hungUp_ = std::any_of(waiting.begin() + 1, waiting.end(), [](const pollfd& p) {
            return (p.revents & (POLLHUP | POLLERR)) != 0;
        });
        if (hungUp_) {
            return false;
        }
        ssize_t count = 0;
        do {
            count = ::read(fd_, pending_.data(), pending_.size());
        } while (count < 0 && errno == EINTR);
        if (count <= 0) {
            return false;
        }
        pendingStart_ = 0;
        pendingEnd_ = static_cast<std::size_t>(count);
        return true;
    }

    int fd_;
    std::span<const int> hangUpWatch_;
    std::chrono::milliseconds timeout_;
    bool hungUp_ = false;
    std::array<char, maximumLine + 1> line_{};
    std::array<char, 4096> pending_{};
    std::size_t pendingStart_ = 0;
    std::size_t pendingEnd_ = 0;
};

PinAnswer outcome(PinEntryOutcome value) {
    PinAnswer answer;
    answer.outcome = value;
    return answer;
}

// What a reply other than OK means for the question.
PinEntryOutcome outcomeOf(Reply reply, unsigned long errorCode) {
    switch (reply) {
        case Reply::ok:
            return PinEntryOutcome::entered;
        case Reply::hungUp:
            return PinEntryOutcome::hungUp;
        case Reply::error:
            return (errorCode & 0xffff) == cancelledErrorCode ||
                           (errorCode & 0xffff) == notConfirmedErrorCode
                       ? PinEntryOutcome::cancelled
                       : PinEntryOutcome::failed;
        case Reply::broken:
            break;
    }
    return PinEntryOutcome::failed;
}

// Greets the program and sets the dialog's texts. The description is what is approved: a
// program that refuses it must not ask; the other texts are best effort.
std::optional<PinEntryOutcome> prepareDialog(Conversation& conversation,
                                             const std::string& description,
                                             const std::vector<std::string>& settings) {
    Reply reply = conversation.readReply(nullptr);
    if (reply == Reply::ok) {
        reply = conversation.command("SETDESC " + escaped(description));
    }
    if (reply != Reply::ok) {
        return outcomeOf(reply == Reply::error ? Reply::broken : reply, 0);
    }
    for (const auto& setting : settings) {
        if (const Reply reply = conversation.command(setting);
            reply == Reply::broken || reply == Reply::hungUp) {
            return outcomeOf(reply, 0);
        }
    }
    return std::nullopt;
}

PinAnswer converse(Conversation& conversation, const PinRequest& request) {
    std::vector<std::string> settings{"SETTITLE " + escaped(request.title),
                                      "SETPROMPT " + escaped(request.prompt)};
    if (request.error) {
        settings.push_back("SETERROR " + escaped(*request.error));
    }
    if (const auto failure = prepareDialog(conversation, request.description, settings)) {
        return outcome(*failure);
    }
    PinAnswer answer;
    unsigned long errorCode = 0;
    const Reply reply = conversation.send("GETPIN")
                            ? conversation.readReply(&answer.pin, &errorCode)
                            : Reply::broken;
    answer.outcome = outcomeOf(reply, errorCode);
    if (answer.outcome != PinEntryOutcome::entered) {
        answer.pin.wipe();
    }
    conversation.command("BYE");
    return answer;
}

PinEntryOutcome converseConfirm(Conversation& conversation, const ConfirmRequest& request) {
    if (const auto failure = prepareDialog(
            conversation, request.description,
            {"SETTITLE " + escaped(request.title), "SETOK " + escaped(request.okButton),
             "SETCANCEL " + escaped(request.cancelButton)})) {
        return *failure;
    }
    unsigned long errorCode = 0;
    const Reply reply =
        conversation.send("CONFIRM") ? conversation.readReply(nullptr, &errorCode) : Reply::broken;
    conversation.command("BYE");
    return outcomeOf(reply, errorCode);
}

}  // namespace

std::optional<std::filesystem::path> findExecutable(const std::string& program) {
    if (program.empty()) {
        return std::nullopt;
    }
    if (program.find('/') != std::string::npos) {
        return isExecutableFile(program) ? std::optional<std::filesystem::path>(program)
                                         : std::nullopt;
    }
    const char* path = std::getenv("PATH");
    std::string_view directories = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
    while (true) {
        const auto end = directories.find(':');
        const std::string_view directory = directories.substr(0, end);
        const std::filesystem::path candidate =
            std::filesystem::path(directory.empty() ? "." : std::string(directory)) / program;
        if (isExecutableFile(candidate)) {
            return candidate;
        }
        if (end == std::string_view::npos) {
            return std::nullopt;
        }
        directories.remove_prefix(end + 1);
    }
}

PinEntry::PinEntry(std::string program, std::vector<int> hangUpWatch,
                   std::chrono::milliseconds answerTimeout)
    : program_(std::move(program)),
      hangUpWatch_(std::move(hangUpWatch)),
      answerTimeout_(answerTimeout) {}

template <typename Converse>
PinAnswer PinEntry::converseWithProgram(const Converse& converse) const {
    // Nobody is asked for an answer that nobody waits for.
    if (anyHungUp(hangUpWatch_, 0)) {
        return outcome(PinEntryOutcome::hungUp);
    }
    const std::optional<std::filesystem::path> executable = findExecutable(program_);
    if (!executable) {
        return outcome(PinEntryOutcome::noProgram);
    }
    std::array<int, 2> sockets{-1, -1};
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets.data()) != 0) {
        return outcome(PinEntryOutcome::failed);
    }
    FileDescriptor ours(sockets[0]);
    FileDescriptor theirs(sockets[1]);
    std::string programText = executable->string();
    std::array<char*, 2> argv{programText.data(), nullptr};

    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) {
        return outcome(PinEntryOutcome::failed);
    }
    if (pid == 0) {
        // Only async-signal-safe calls from here on. The dialog dies with the host, however the
        // host ends (also when the host died before this line).
        ::setpgid(0, 0);
        if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent) {
            ::_exit(127);
        }
        ::dup2(theirs.get(), STDIN_FILENO);
        ::dup2(theirs.get(), STDOUT_FILENO);
        const int devNull = ::open("/dev/null", O_WRONLY);
        if (devNull >= 0) {
            ::dup2(devNull, STDERR_FILENO);
        }
        ::close_range(3, ~0U, 0);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    const ChildProcess child(pid);
    theirs.reset();
    Conversation conversation(ours.get(), hangUpWatch_, answerTimeout_);
    PinAnswer answer = converse(conversation);
    return answer;
}

PinAnswer PinEntry::ask(const PinRequest& request) const {
    return converseWithProgram(
        [&](Conversation& conversation) { return converse(conversation, request); });
}

PinEntryOutcome PinEntry::confirm(const ConfirmRequest& request) const {
    return converseWithProgram([&](Conversation& conversation) {
               return outcome(converseConfirm(conversation, request));
           })
        .outcome;
}

}  // namespace kivo::platform
