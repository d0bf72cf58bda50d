#include "support/HostSession.h"

#include <gtest/gtest.h>

#include <malloc.h>

#include <fstream>
#include <regex>

#include "foundation/Encodings.h"

namespace kivo::testing {

HostSession::HostSession(Environment environment, std::vector<std::string> arguments,
                         std::vector<std::string> launcher) {
    launcher.push_back(KIVO_HOST_BINARY);
    launcher.insert(launcher.end(), arguments.begin(), arguments.end());
    environment.emplace("HOME", home_.path().string());
    logPath_ = std::filesystem::path(environment.at("HOME")) / "kivo-signing.log";
    process_ = std::make_unique<tools::HostProcess>(
        tools::HostOptions{launcher.front(),
                           {launcher.begin() + 1, launcher.end()},
                           std::move(environment),
                           {"KIVO_VERBOSE_LOGGING", "XDG_DATA_HOME", "KIVO_PINENTRY"},
                           (home_.path() / "host-stderr.txt").string()});
}

std::string HostSession::logText() const {
    return readFile(logPath_);
}

std::string HostSession::stderrText() const {
    return readFile(home_.path() / "host-stderr.txt");
}

nlohmann::json HostSession::nextAnswer() {
    const std::optional<std::string> text = answer();
    EXPECT_TRUE(text.has_value()) << "no answer from the host";
    return text ? nlohmann::json::parse(*text) : nlohmann::json();
}

nlohmann::json HostSession::ask(const std::string& payload) {
    EXPECT_TRUE(send(payload)) << payload.substr(0, 200);
    return nextAnswer();
}

std::optional<int> HostSession::finish() {
    process_->closeInput();
    return process_->waitForExit(std::chrono::seconds(60));
}

HostRun runHost(std::string bytes, const Environment& environment,
                std::vector<std::string> arguments, std::size_t answerCount) {
    // Linux hands a spawner's peak resident size on to a child started by posix_spawn, so this
    // process gives back freed memory and resets its peak first.
    ::malloc_trim(0);
    std::ofstream("/proc/self/clear_refs") << "5";
    if (const auto home = environment.find("HOME"); home != environment.end()) {
        std::filesystem::remove(std::filesystem::path(home->second) / "kivo-signing.log");
    }
    HostRun run;
    run.requestBytes = bytes.size();
    HostSession host(environment, std::move(arguments));
    std::uint32_t announced = 0;
    for (std::size_t i = 0; i < 4 && i < bytes.size(); ++i) {
        announced |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << (8 * i);
    }
    const bool whole = bytes.size() >= 4 && announced <= bytes.size() - 4;
    // The host may stop reading early: an error ends it.
    host.process().sendRaw(bytes);
    bytes = std::string();
    if (!whole) {
        host.process().closeInput();
    }
    constexpr std::chrono::seconds timeout(300);
    for (std::optional<std::string> answer;
         run.answers.size() < answerCount && (answer = host.process().readMessage(timeout));) {
        run.answers.push_back(std::move(*answer));
    }
    host.process().closeInput();
    run.trailing = host.process().readRemainingOutput(timeout);
    run.exitStatus = host.finish();
    run.peakMemoryKiB = host.process().peakMemoryKiB();
    run.log = host.logText();
    run.stderrText = host.stderrText();
    return run;
}

std::size_t expectLogLinesWellFormed(const std::string& log) {
    for (const char c : log) {
        const auto byte = static_cast<unsigned char>(c);
        EXPECT_FALSE((byte < 0x20 && c != '\n') || byte == 0x7F) << "control byte " << int(byte);
    }
    for (const char* separator : {"\u2028", "\u2029", "\u0085"}) {
        EXPECT_EQ(log.find(separator), std::string::npos);
    }
    const std::regex start(R"(\d{2}-\d{2}-\d{4} \d{2}:\d{2}:\d{2}\.\d{3} (INFO |ERROR|DEBUG) )");
    const std::vector<std::string> lines = linesOf(log);
    for (const std::string& line : lines) {
        EXPECT_TRUE(std::regex_match(line.substr(0, 30), start)) << line.substr(0, 200);
    }
    return lines.size();
}

nlohmann::json signerDetails(const std::string& name, const std::string& akiHex) {
    return {
        {"name", name}, {"email", "jane@example.com"}, {"abn", "51824753556"}, {"aki", {akiHex}}};
}

nlohmann::json xmlEntry(const std::string& id, std::string_view xml) {
    return {{"id", id}, {"data", foundation::base64Encode(foundation::byteView(xml))}};
}

std::string signRequestText(const nlohmann::json& userDetails,
                            const std::vector<nlohmann::json>& documents,
                            const std::optional<std::string>& algorithm) {
    nlohmann::json request{
        {"type", "sign"}, {"user_details", userDetails}, {"xml_data", documents}};
    if (algorithm) {
        request["signature_algorithm"] = *algorithm;
    }
    return request.dump();
}

std::string decodedData(const nlohmann::json& entry) {
    const auto bytes = foundation::base64DecodeStrict(entry.value("data", ""));
    return bytes ? std::string(bytes->begin(), bytes->end()) : std::string();
}

}  // namespace kivo::testing
