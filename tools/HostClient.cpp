#include "HostClient.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>

extern char** environ;

namespace kivo::tools {
namespace {

using foundation::FileDescriptor;

// Both ends of a new pipe, closed on exec in this process.
std::pair<FileDescriptor, FileDescriptor> makePipe() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        throw std::system_error(errno, std::generic_category(), "pipe");
    }
    return {FileDescriptor(ends[0]), FileDescriptor(ends[1])};
}

struct SpawnActions {
    posix_spawn_file_actions_t actions;
    SpawnActions() { posix_spawn_file_actions_init(&actions); }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;
    ~SpawnActions() { posix_spawn_file_actions_destroy(&actions); }
};

std::vector<std::string> buildEnvironment(const HostOptions& options) {
    std::map<std::string, std::string> variables;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        const auto equals = text.find('=');
        if (equals != std::string::npos) {
            variables[text.substr(0, equals)] = text.substr(equals + 1);
        }
    }
    for (const auto& name : options.unsetVariables) {
        variables.erase(name);
    }
    for (const auto& [name, value] : options.environment) {
        variables[name] = value;
    }
    std::vector<std::string> result;
    for (const auto& [name, value] : variables) {
        result.push_back(name + "=" + value);
    }
    return result;
}

std::vector<char*> pointersTo(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (auto& text : texts) {
        pointers.push_back(text.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

}  // namespace

std::string announcedFrame(std::uint32_t length, std::string_view payload) {
    std::string framed;
    framed.reserve(payload.size() + 4);
    for (int shift = 0; shift < 32; shift += 8) {
        framed.push_back(static_cast<char>((length >> shift) & 0xFF));
    }
    framed.append(payload);
    return framed;
}

std::string frameMessage(std::string_view payload) {
    return announcedFrame(static_cast<std::uint32_t>(payload.size()), payload);
}

HostProcess::HostProcess(const HostOptions& options) {
    auto [inputRead, inputWrite] = makePipe();
    auto [outputRead, outputWrite] = makePipe();
    SpawnActions spawn;
    posix_spawn_file_actions_adddup2(&spawn.actions, inputRead.get(), STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&spawn.actions, outputWrite.get(), STDOUT_FILENO);
    if (!options.stderrPath.empty()) {
        posix_spawn_file_actions_addopen(&spawn.actions, STDERR_FILENO, options.stderrPath.c_str(),
                                         O_WRONLY | O_CREAT | O_APPEND, 0600);
    }
    std::vector<std::string> argumentTexts{options.binary};
    argumentTexts.insert(argumentTexts.end(), options.arguments.begin(), options.arguments.end());
    std::vector<std::string> environmentTexts = buildEnvironment(options);
    auto argv = pointersTo(argumentTexts);
    auto envp = pointersTo(environmentTexts);
    const int rc = ::posix_spawn(&pid_, options.binary.c_str(), &spawn.actions, nullptr,
                                 argv.data(), envp.data());
    if (rc != 0) {
        throw std::system_error(rc, std::generic_category(), "posix_spawn " + options.binary);
    }
    toHost_ = std::move(inputWrite);
    fromHost_ = std::move(outputRead);
}

HostProcess::~HostProcess() {
    toHost_.reset();
    if (!exitStatus_ && pid_ > 0) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
}

bool HostProcess::send(std::string_view payload) {
    return sendRaw(frameMessage(payload));
}

bool HostProcess::sendRaw(std::string_view bytes) {
    // The host may have exited already; a broken pipe must not kill the test process.
    static const bool ignoreSigpipe = [] {
        ::signal(SIGPIPE, SIG_IGN);
        return true;
    }();
    (void)ignoreSigpipe;
    while (!bytes.empty() && toHost_.valid()) {
        const ssize_t written = ::write(toHost_.get(), bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return bytes.empty();
}

void HostProcess::closeInput() {
    toHost_.reset();
}

void HostProcess::closeOutput() {
    fromHost_.reset();
}

bool HostProcess::readExactly(std::string& into, std::size_t count,
                              std::chrono::steady_clock::time_point deadline) {
    char buffer[65536];
    while (into.size() < count) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd watch{fromHost_.get(), POLLIN, 0};
        const int ready = ::poll(&watch, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return false;
        }
        const std::size_t want = std::min(sizeof buffer, count - into.size());
        const ssize_t got = ::read(fromHost_.get(), buffer, want);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        into.append(buffer, static_cast<std::size_t>(got));
    }
    return true;
}

std::optional<std::string> HostProcess::readMessage(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::string prefix;
    if (!readExactly(prefix, 4, deadline)) {
        return std::nullopt;
    }
    std::uint32_t length = 0;
    for (int i = 3; i >= 0; --i) {
        length = (length << 8) | static_cast<unsigned char>(prefix[static_cast<std::size_t>(i)]);
    }
    std::string payload;
    if (!readExactly(payload, length, deadline)) {
        return std::nullopt;
    }
    return payload;
}

std::string HostProcess::readRemainingOutput(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::string all;
    while (true) {
        std::string chunk;
        if (!readExactly(chunk, 1, deadline)) {
            return all;
        }
        all += chunk;
    }
}

std::optional<int> HostProcess::waitForExit(std::chrono::milliseconds timeout) {
    if (exitStatus_) {
        return exitStatus_;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        int status = 0;
        rusage usage{};
        const pid_t done = ::wait4(pid_, &status, WNOHANG, &usage);
        if (done == pid_) {
            peakMemoryKiB_ = usage.ru_maxrss;
            exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return exitStatus_;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
            exitStatus_ = 128 + SIGKILL;
            return std::nullopt;
        }
        // Polling the child's state: a short pause between checks, not a synchronisation point.
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

}  // namespace kivo::tools
