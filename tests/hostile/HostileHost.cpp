#include "HostileHost.h"

#include <gtest/gtest.h>
#include <malloc.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

namespace kivo::testing {

namespace {

using nlohmann::json;

void resetPeakMemoryOfThisProcess() {
    std::ofstream clearRefs("/proc/self/clear_refs");
    clearRefs << "5";
}

// The answer as strict JSON: invalid UTF-8 or trailing bytes make it fail.
std::optional<json> strictJson(const std::string& answer) {
    try {
        return json::parse(answer);
    } catch (const json::exception&) {
        return std::nullopt;
    }
}

}  // namespace

std::string repeated(std::string_view piece, std::size_t times) {
    std::string text;
    text.reserve(piece.size() * times);
    for (std::size_t i = 0; i < times; ++i) {
        text.append(piece);
    }
    return text;
}

std::string announced(std::uint32_t length, std::string_view payload) {
    std::string frame(4, '\0');
    for (std::size_t i = 0; i < 4; ++i) {
        frame[i] = static_cast<char>((length >> (8 * i)) & 0xFF);
    }
    frame.append(payload);
    return frame;
}

long residentKiBOfThisProcess() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("VmRSS:")) {
            return std::stol(line.substr(6));
        }
    }
    return 0;
}

MeasuredHost startMeasuredHost(const Environment& environment) {
    // Memory that earlier tests freed goes back to the system first, so that the floor is low.
    ::malloc_trim(0);
    resetPeakMemoryOfThisProcess();
    MeasuredHost host;
    host.spawnerResidentKiB = residentKiBOfThisProcess();
    host.session = std::make_unique<HostSession>(environment);
    return host;
}

HostRun finishRun(const MeasuredHost& measured, std::size_t expectedAnswers,
                  std::size_t requestBytes, std::chrono::seconds timeout) {
    HostSession& host = *measured.session;
    HostRun run;
    run.requestBytes = requestBytes;
    run.spawnerResidentKiB = measured.spawnerResidentKiB;
    for (std::size_t i = 0; i < expectedAnswers; ++i) {
        std::optional<std::string> answer = host.process().readMessage(timeout);
        if (!answer) {
            break;
        }
        run.answers.push_back(std::move(*answer));
    }
    run.trailing = host.process().readRemainingOutput(timeout);
    run.exitStatus = host.finish();
    run.peakMemoryKiB = host.process().peakMemoryKiB();
    run.log = host.logText();
    run.stderrText = readFile(host.home() / "host-stderr.txt");
    return run;
}

HostRun runHost(const std::string& bytes, std::size_t expectedAnswers,
                const Environment& environment, std::chrono::seconds timeout) {
    const MeasuredHost host = startMeasuredHost(environment);
    // The host may stop reading early (an error ends it); what it did is judged below.
    host->process().sendRaw(bytes);
    host->process().closeInput();
    return finishRun(host, expectedAnswers, bytes.size(), timeout);
}

void expectErrorRun(const HostRun& run, std::int64_t code, std::string_view messageStart) {
    ASSERT_EQ(run.answers.size(), 1u) << "no error answer; exit " << run.exitStatus.value_or(-1);
    const std::optional<json> answer = strictJson(run.answers[0]);
    ASSERT_TRUE(answer.has_value()) << "not strict JSON: " << run.answers[0].substr(0, 300);
    EXPECT_EQ(answer->size(), 3u) << answer->dump().substr(0, 300);
    EXPECT_EQ(answer->value("result", ""), "error");
    EXPECT_EQ(answer->value("error_code", 0), code) << answer->dump().substr(0, 300);
    const std::string message = answer->value("error_message", "");
    EXPECT_TRUE(message.starts_with(messageStart)) << message.substr(0, 300);
    EXPECT_EQ(run.trailing.size(), 0u) << run.trailing.substr(0, 100);
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_NE(run.log.find("ERROR SigningError (" + std::to_string(code) + "): "),
              std::string::npos);
    EXPECT_NE(run.log.find("INFO  Application terminating due to error\n"), std::string::npos);
}

void expectServedRun(const HostRun& run, std::size_t answers) {
    ASSERT_EQ(run.answers.size(), answers);
    for (const std::string& text : run.answers) {
        const std::optional<json> answer = strictJson(text);
        ASSERT_TRUE(answer.has_value()) << "not strict JSON: " << text.substr(0, 300);
        EXPECT_EQ(answer->value("result", ""), "ok") << answer->dump().substr(0, 300);
    }
    EXPECT_EQ(run.trailing.size(), 0u) << run.trailing.substr(0, 100);
    EXPECT_EQ(run.exitStatus, 0);
}

void expectMemoryBounded(const HostRun& run, long perRequestByte) {
    ASSERT_TRUE(run.peakMemoryKiB.has_value());
#if defined(__SANITIZE_ADDRESS__)
    // Shadow memory and quarantine make sanitized figures meaningless; the normal build measures.
    (void)perRequestByte;
    return;
#endif
    const long bound = perRequestByte * static_cast<long>(run.requestBytes / 1024) + baseMemoryKiB;
    // The figure is at least this process's size when it started the host.
    EXPECT_LT(run.spawnerResidentKiB, bound / 2) << "the test process was too large to measure";
    EXPECT_LE(*run.peakMemoryKiB, bound)
        << "request of " << run.requestBytes << " bytes peaked at " << *run.peakMemoryKiB << " KiB";
}

}  // namespace kivo::testing
