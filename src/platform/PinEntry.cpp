#include "platform/PinEntry.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <string_view>
#include <thread>
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

// The running pinentry; reaped when the conversation ends, killed if it lingers.
class ChildProcess {
  public:
    explicit ChildProcess(pid_t pid) : pid_(pid) {}
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (::waitpid(pid_, nullptr, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() >= deadline) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, nullptr, 0);
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

  private:
    pid_t pid_;
};

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

enum class Reply { ok, error, broken };

// One Assuan conversation over a socket. Every byte read passes through `line_`, which is
// wiped after each line because data lines carry the PIN.
class Conversation {
  public:
    Conversation(int fd, std::chrono::milliseconds timeout) : fd_(fd), timeout_(timeout) {}
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
                return Reply::broken;
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

    bool fill() {
        pollfd waiting{fd_, POLLIN, 0};
        int ready = 0;
        do {
            ready = ::poll(&waiting, 1, static_cast<int>(timeout_.count()));
        } while (ready < 0 && errno == EINTR);
        if (ready <= 0) {
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
    std::chrono::milliseconds timeout_;
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

PinAnswer converse(Conversation& conversation, const PinRequest& request) {
    if (conversation.readReply(nullptr) != Reply::ok) {
        return outcome(PinEntryOutcome::failed);
    }
    // The display texts are best effort: a program that refuses one still asks.
    std::vector<std::string> settings{"SETTITLE " + escaped(request.title),
                                      "SETDESC " + escaped(request.description),
                                      "SETPROMPT " + escaped(request.prompt)};
    if (request.error) {
        settings.push_back("SETERROR " + escaped(*request.error));
    }
    for (const auto& setting : settings) {
        if (conversation.command(setting) == Reply::broken) {
            return outcome(PinEntryOutcome::failed);
        }
    }
    PinAnswer answer;
    unsigned long errorCode = 0;
    if (!conversation.send("GETPIN")) {
        return outcome(PinEntryOutcome::failed);
    }
    switch (conversation.readReply(&answer.pin, &errorCode)) {
        case Reply::ok:
            answer.outcome = PinEntryOutcome::entered;
            break;
        case Reply::error:
            answer.pin.wipe();
            answer.outcome = (errorCode & 0xffff) == cancelledErrorCode ? PinEntryOutcome::cancelled
                                                                        : PinEntryOutcome::failed;
            break;
        case Reply::broken:
            answer.pin.wipe();
            answer.outcome = PinEntryOutcome::failed;
            break;
    }
    conversation.command("BYE");
    return answer;
}

PinEntryOutcome converseConfirm(Conversation& conversation, const ConfirmRequest& request) {
    if (conversation.readReply(nullptr) != Reply::ok) {
        return PinEntryOutcome::failed;
    }
    // Nobody may be asked to approve what the dialog does not show.
    if (conversation.command("SETDESC " + escaped(request.description)) != Reply::ok) {
        return PinEntryOutcome::failed;
    }
    for (const auto& setting :
         {"SETTITLE " + escaped(request.title), "SETOK " + escaped(request.okButton),
          "SETCANCEL " + escaped(request.cancelButton)}) {
        if (conversation.command(setting) == Reply::broken) {
            return PinEntryOutcome::failed;
        }
    }
    unsigned long errorCode = 0;
    if (!conversation.send("CONFIRM")) {
        return PinEntryOutcome::failed;
    }
    PinEntryOutcome result = PinEntryOutcome::failed;
    switch (conversation.readReply(nullptr, &errorCode)) {
        case Reply::ok:
            result = PinEntryOutcome::entered;
            break;
        case Reply::error:
            result = (errorCode & 0xffff) == cancelledErrorCode ||
                             (errorCode & 0xffff) == notConfirmedErrorCode
                         ? PinEntryOutcome::cancelled
                         : PinEntryOutcome::failed;
            break;
        case Reply::broken:
            break;
    }
    conversation.command("BYE");
    return result;
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

PinEntry::PinEntry(std::string program, std::chrono::milliseconds answerTimeout)
    : program_(std::move(program)), answerTimeout_(answerTimeout) {}

template <typename Converse>
PinAnswer PinEntry::converseWithProgram(const Converse& converse) const {
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

    const pid_t pid = ::fork();
    if (pid < 0) {
        return outcome(PinEntryOutcome::failed);
    }
    if (pid == 0) {
        // Only async-signal-safe calls from here on.
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
    Conversation conversation(ours.get(), answerTimeout_);
    PinAnswer answer = converse(conversation);
    ours.reset();  // lets the program see the end of its input before it is reaped
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
