#include "support/HostSession.h"

#include <gtest/gtest.h>

#include <regex>

namespace kivo::testing {

HostSession::HostSession(Environment environment, std::vector<std::string> arguments) {
    tools::HostOptions options;
    options.binary = KIVO_HOST_BINARY;
    options.arguments = std::move(arguments);
    options.unsetVariables = {"KIVO_VERBOSE_LOGGING", "XDG_DATA_HOME", "KIVO_PINENTRY"};
    options.environment = std::move(environment);
    options.environment.emplace("HOME", home_.path().string());
    logPath_ = std::filesystem::path(options.environment.at("HOME")) / "kivo-signing.log";
    options.stderrPath = (home_.path() / "host-stderr.txt").string();
    process_ = std::make_unique<tools::HostProcess>(options);
}

std::string HostSession::logText() const {
    return readFile(logPath_);
}

std::optional<int> HostSession::finish() {
    process_->closeInput();
    return process_->waitForExit(std::chrono::seconds(60));
}

std::size_t expectLogLinesWellFormed(const std::string& log) {
    const std::regex start(R"(\d{2}-\d{2}-\d{4} \d{2}:\d{2}:\d{2}\.\d{3} (INFO |ERROR|DEBUG) )");
    const std::vector<std::string> lines = linesOf(log);
    for (const std::string& line : lines) {
        EXPECT_TRUE(std::regex_match(line.substr(0, 30), start)) << line.substr(0, 200);
    }
    return lines.size();
}

}  // namespace kivo::testing
