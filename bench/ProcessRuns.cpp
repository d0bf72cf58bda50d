#include "ProcessRuns.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <system_error>

#include "HostClient.h"

extern char** environ;

namespace kivo::bench {
namespace {

using Clock = std::chrono::steady_clock;

// Generous: a 50 MB document on a busy machine takes a while.
constexpr std::chrono::minutes answerTimeout{10};

std::string describeCommand(const std::vector<std::string>& command) {
    std::string text;
    for (const auto& part : command) {
        text += (text.empty() ? "" : " ") + part;
    }
    return text;
}

}  // namespace

double median(std::vector<double> values) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

HostRun runHost(const std::string& binary, const std::map<std::string, std::string>& environment,
                const std::vector<std::string>& requests) {
    HostRun run;
    const auto started = Clock::now();
    tools::HostProcess host(tools::HostOptions{binary, {}, environment, {}, "/dev/null"});
    for (const std::string& request : requests) {
        const auto sent = Clock::now();
        if (!host.send(request)) {
            throw std::runtime_error(binary + " stopped reading its input");
        }
        std::optional<std::string> answer = host.readMessage(answerTimeout);
        if (!answer) {
            throw std::runtime_error(binary + " gave no answer");
        }
        const auto answered = Clock::now();
        run.requestTimes.push_back(answered - sent);
        run.untilAnswer = answered - started;
        run.answers.push_back(std::move(*answer));
    }
    host.closeInput();
    const std::optional<int> status = host.waitForExit(answerTimeout);
    if (status != 0) {
        throw std::runtime_error(binary + " ended with status " +
                                 (status ? std::to_string(*status) : std::string("(killed)")));
    }
    run.peakMemoryKiB = host.peakMemoryKiB();
    return run;
}

Milliseconds runCommand(const std::vector<std::string>& command) {
    std::vector<char*> argv;
    for (const auto& part : command) {
        argv.push_back(const_cast<char*>(part.c_str()));
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    const auto started = Clock::now();
    pid_t pid = -1;
    const int rc = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        throw std::system_error(rc, std::generic_category(), "cannot start " + command.front());
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            throw std::system_error(errno, std::generic_category(), "waitpid");
        }
    }
    const Milliseconds elapsed = Clock::now() - started;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw std::runtime_error("failed: " + describeCommand(command));
    }
    return elapsed;
}

}  // namespace kivo::bench
