// The built host driven through its standard input and output, as a browser drives it.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <nlohmann/json.hpp>
#include <regex>

#include "BuildConfig.h"
#include "support/HostSession.h"

namespace kivo::testing {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

json parse(const std::optional<std::string>& answer) {
    EXPECT_TRUE(answer.has_value()) << "no answer from the host";
    return answer ? json::parse(*answer) : json();
}

// Expects exactly one framed error answer, then exit status 1 and nothing else on stdout.
void expectFatalError(HostSession& host, std::int64_t code, const std::string& messageStart) {
    const json answer = parse(host.answer());
    EXPECT_EQ(answer.size(), 3u) << answer.dump();
    EXPECT_EQ(answer.value("result", ""), "error");
    EXPECT_EQ(answer.value("error_code", 0), code);
    EXPECT_EQ(answer.value("error_message", "").rfind(messageStart, 0), 0u) << answer.dump();
    EXPECT_EQ(host.process().readRemainingOutput(30s), "");
    EXPECT_EQ(host.finish(), 1);
    EXPECT_NE(host.logText().find("INFO  Application terminating due to error\n"),
              std::string::npos);
}

TEST(HostProcess, VersionAnswerCarriesHostAndMachineFacts) {
    HostSession host(Environment{}, {"chrome-extension://abcdef/"});
    ASSERT_TRUE(host.send(R"({"type":"VerSion"})"));
    const json answer = parse(host.answer());
    EXPECT_EQ(answer.value("result", ""), "ok");
    EXPECT_EQ(answer.value("version", ""), build::version);
    EXPECT_EQ(answer.value("major", "") + "." + answer.value("minor", "") + "." +
                  answer.value("release", "") + "." + answer.value("build", ""),
              build::version);
    EXPECT_TRUE(
        std::regex_match(answer.value("os", ""), std::regex(R"(Linux version \d+\.\d+\.\d+)")))
        << answer.dump();
    EXPECT_EQ(answer.value("os_type", ""), build::architecture);
    EXPECT_EQ(answer.value("install_location", ""),
              (host.home() / ".local/share/applications").string());
    for (const char* absent :
         {"cert_serial", "cert_expiry", "cert_issuer", "error_code", "error_message"}) {
        EXPECT_FALSE(answer.contains(absent)) << absent;
    }
    EXPECT_EQ(host.finish(), 0);
    const std::string log = host.logText();
    EXPECT_NE(log.find("INFO  Request type = VerSion\n"), std::string::npos);
    EXPECT_NE(log.find("INFO  Application terminating\n"), std::string::npos);
}

TEST(HostProcess, InstallLocationFollowsXdgDataHome) {
    HostSession host(Environment{{"XDG_DATA_HOME", "/srv/data"}});
    ASSERT_TRUE(host.send(R"({"type":"version"})"));
    EXPECT_EQ(parse(host.answer()).value("install_location", ""), "/srv/data/applications");
}

TEST(HostProcess, TwoRequestsInOneBurstGetTwoAnswersInOrder) {
    HostSession host;
    ASSERT_TRUE(host.process().sendRaw(tools::frameMessage(R"({"type":"version"})") +
                                       tools::frameMessage(R"({"type":"version","x":1})")));
    EXPECT_EQ(parse(host.answer()).value("result", ""), "ok");
    EXPECT_EQ(parse(host.answer()).value("result", ""), "ok");
    EXPECT_EQ(host.finish(), 0);
}

struct BadRequest {
    const char* name;
    std::string bytes;  // framed bytes written before the input is closed
    std::int64_t code;
    const char* messageStart;
};

// Test names, not bytes, in the runner's output.
void PrintTo(const BadRequest& request, std::ostream* out) { *out << request.name; }

std::string announce(std::uint32_t length, const std::string& data) {
    std::string prefix(4, '\0');
    for (int i = 0; i < 4; ++i) {
        prefix[static_cast<std::size_t>(i)] = static_cast<char>((length >> (8 * i)) & 0xFF);
    }
    return prefix + data;
}

class HostBadInput : public ::testing::TestWithParam<BadRequest> {};

TEST_P(HostBadInput, AnswersOneErrorAndExitsWithStatusOne) {
    const BadRequest& bad = GetParam();
    HostSession host;
    ASSERT_TRUE(host.process().sendRaw(bad.bytes));
    host.process().closeInput();
    expectFatalError(host, bad.code, bad.messageStart);
    // Memory must follow what arrived, not what was announced.
    ASSERT_TRUE(host.process().peakMemoryKiB().has_value());
    EXPECT_LT(*host.process().peakMemoryKiB(), 200 * 1024);
}

const std::string parseFailure = "Failed to parse JSON request - ";

INSTANTIATE_TEST_SUITE_P(
    Requests, HostBadInput,
    ::testing::Values(
        BadRequest{"ShortPayload", announce(40, R"({"type":"vers)"), 101, parseFailure.c_str()},
        BadRequest{"EmptyPayload", announce(0, ""), 101, parseFailure.c_str()},
        BadRequest{"HugeAnnouncedLength", announce(0xFFFFFFFFu, "0123456789"), 101,
                   parseFailure.c_str()},
        BadRequest{"NotJson", tools::frameMessage("hello"), 101, parseFailure.c_str()},
        BadRequest{"NotAnObject", tools::frameMessage("42"), 101, parseFailure.c_str()},
        BadRequest{"InvalidUtf8", tools::frameMessage("{\"type\":\"ver\xff\"}"), 101,
                   parseFailure.c_str()},
        BadRequest{"DeepNesting",
                   tools::frameMessage(std::string(100000, '[') + std::string(100000, ']')), 101,
                   parseFailure.c_str()},
        BadRequest{"TypeMissing", tools::frameMessage("{}"), 101,
                   "Request type is missing from the request message"},
        BadRequest{"TypeUnknown", tools::frameMessage(R"({"type":"status"})"), 101,
                   "Request type is unknown: status"},
        BadRequest{"TypeCaseKeptInMessage", tools::frameMessage(R"({"type":"Sign2"})"), 101,
                   "Request type is unknown: Sign2"},
        BadRequest{"TypeWrongJsonType", tools::frameMessage(R"({"type":7})"), 101,
                   parseFailure.c_str()},
        BadRequest{"VerboseAsBoolean", tools::frameMessage(R"({"type":"version","verbose":true})"),
                   101, parseFailure.c_str()},
        BadRequest{"SignWithoutUserDetails",
                   tools::frameMessage(R"({"type":"sign","xml_data":[]})"), 101,
                   "Signing request does not include any user_details"},
        BadRequest{"SignWithoutXmlData",
                   tools::frameMessage(R"({"type":"SIGN","user_details":{}})"), 101,
                   "Signing request does not include any XML data to sign"}),
    [](const ::testing::TestParamInfo<BadRequest>& info) { return std::string(info.param.name); });

TEST(HostProcess, ErrorEndsTheSessionAfterEarlierAnswers) {
    HostSession host;
    ASSERT_TRUE(host.send(R"({"type":"version"})"));
    EXPECT_EQ(parse(host.answer()).value("result", ""), "ok");
    ASSERT_TRUE(host.send(R"({"type":"status"})"));
    expectFatalError(host, 101, "Request type is unknown: status");
    EXPECT_NE(host.logText().find("ERROR SigningError (101): Request type is unknown: status\n"),
              std::string::npos);
}

TEST(HostProcess, EndOfInputEndsTheHostNormally) {
    HostSession host;
    ASSERT_TRUE(host.process().sendRaw(std::string("\x05\x00", 2)));
    EXPECT_EQ(host.finish(), 0);
    EXPECT_EQ(host.process().readRemainingOutput(5s), "");
    const std::string log = host.logText();
    EXPECT_NE(log.find("INFO  Application terminating\n"), std::string::npos);
    EXPECT_EQ(log.find("Request type"), std::string::npos);
}

TEST(HostProcess, VerboseFieldMakesOnlyItsOwnRequestVerbose) {
    HostSession host;
    ASSERT_TRUE(host.send(R"({"type":"version","verbose":"ON","msg_source":"first"})"));
    ASSERT_TRUE(host.answer());
    ASSERT_TRUE(host.send(R"({"type":"version","msg_source":"second"})"));
    ASSERT_TRUE(host.answer());
    EXPECT_EQ(host.finish(), 0);
    const std::string log = host.logText();
    EXPECT_NE(log.find("DEBUG Request message = {\"type\":\"version\",\"verbose\":\"ON\""),
              std::string::npos);
    EXPECT_NE(log.find("DEBUG Response message = "), std::string::npos);
    EXPECT_EQ(log.find("second"), std::string::npos) << log;
}

TEST(HostProcess, VerboseEnvironmentNeedsExactlyOn) {
    for (const auto& [value, verbose] :
         std::vector<std::pair<std::string, bool>>{{"ON", true}, {"on", false}, {"1", false}}) {
        HostSession host(Environment{{"KIVO_VERBOSE_LOGGING", value}});
        ASSERT_TRUE(host.send(R"({"type":"version"})"));
        ASSERT_TRUE(host.answer());
        EXPECT_EQ(host.finish(), 0);
        EXPECT_EQ(host.logText().find(" DEBUG ") != std::string::npos, verbose) << value;
    }
}

TEST(HostProcess, IdleTimeoutEndsTheHostAfterTheMinimumPeriod) {
    HostSession host;
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(host.send(R"({"type":"version","idle_timeout":1000})"));
    ASSERT_TRUE(host.answer());
    // The input stays open: only the idle clock can end the host.
    const auto status = host.process().waitForExit(60s);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(status, 0);
    EXPECT_GE(elapsed, 3s);
    const std::string log = host.logText();
    EXPECT_NE(log.find("INFO  Setting idle timeout = 1.0 secs\n"), std::string::npos);
    EXPECT_NE(log.find("INFO  Application terminating\n"), std::string::npos);
}

TEST(HostProcess, LogFileIsPrivateAndLinesAreFormatted) {
    HostSession host;
    ASSERT_TRUE(host.send(R"({"type":"version"})"));
    ASSERT_TRUE(host.answer());
    EXPECT_EQ(host.finish(), 0);
    struct stat info {};
    ASSERT_EQ(::stat((host.home() / "kivo-signing.log").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600);
    const std::regex line(R"(\d{2}-\d{2}-\d{4} \d{2}:\d{2}:\d{2}\.\d{3} (INFO |ERROR|DEBUG) .*)");
    std::istringstream lines(host.logText());
    int count = 0;
    for (std::string text; std::getline(lines, text); ++count) {
        EXPECT_TRUE(std::regex_match(text, line)) << text;
    }
    EXPECT_GE(count, 8);
}

TEST(HostProcess, UnwritableHomeStillServesRequests) {
    HostSession host(Environment{{"HOME", "/proc/nonexistent-home"}});
    ASSERT_TRUE(host.send(R"({"type":"version"})"));
    EXPECT_EQ(parse(host.answer()).value("result", ""), "ok");
    EXPECT_EQ(host.finish(), 0);
}

}  // namespace
}  // namespace kivo::testing
