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

TEST(HostProcess, VersionAnswerCarriesHostAndMachineFactsAndAPrivateLog) {
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
    const std::string log = host.logText();
    EXPECT_NE(log.find("INFO  Request type = VerSion\n"), std::string::npos);
    EXPECT_NE(log.find("INFO  Application terminating\n"), std::string::npos);
}

std::string announce(std::uint32_t length, const std::string& data) {
    return tools::announcedFrame(length, data);
}

TEST(HostProcess, BadInputGetsOneErrorAnswerAndExitStatusOne) {
    const std::string parseFailure = "Failed to parse JSON request - ";
    struct BadRequest {
        const char* name;
        std::string bytes;  // framed bytes written before the input is closed
        std::int64_t code;
        std::string messageStart;
    };
    for (const BadRequest& bad : {
             BadRequest{"ShortPayload", announce(40, R"({"type":"vers)"), 101, parseFailure},
             BadRequest{"HugeAnnouncedLength", announce(0xFFFFFFFFu, "0123456789"), 101,
                        parseFailure},
             BadRequest{"NotAnObject", tools::frameMessage("42"), 101, parseFailure},
             BadRequest{"InvalidUtf8", tools::frameMessage("{\"type\":\"ver\xff\"}"), 101,
                        parseFailure},
             BadRequest{"DeepNesting",
                        tools::frameMessage(std::string(100000, '[') + std::string(100000, ']')),
                        101, parseFailure},
             BadRequest{"TypeWrongJsonType", tools::frameMessage(R"({"type":7})"), 101,
                        parseFailure},
             BadRequest{"TypeUnknown", tools::frameMessage(R"({"type":"status"})"), 101,
                        "Request type is unknown: status"},
             BadRequest{"SignWithoutXmlData",
                        tools::frameMessage(R"({"type":"SIGN","user_details":{}})"), 101,
                        "Signing request does not include any XML data to sign"},
             // An error ends the session even after earlier answers.
             BadRequest{"ErrorAfterAnswer",
                        tools::frameMessage(R"({"type":"version"})") +
                            tools::frameMessage(R"({"type":"status"})"),
                        101, "Request type is unknown: status"},
         }) {
        SCOPED_TRACE(bad.name);
        HostSession host;
        ASSERT_TRUE(host.process().sendRaw(bad.bytes));
        host.process().closeInput();
        if (std::string(bad.name) == "ErrorAfterAnswer") {
            EXPECT_EQ(parse(host.answer()).value("result", ""), "ok");
        }
        const json answer = parse(host.answer());
        EXPECT_EQ(answer.size(), 3u) << answer.dump();
        EXPECT_EQ(answer.value("result", ""), "error");
        EXPECT_EQ(answer.value("error_code", 0), bad.code);
        EXPECT_EQ(answer.value("error_message", "").rfind(bad.messageStart, 0), 0u)
            << answer.dump();
        EXPECT_EQ(host.process().readRemainingOutput(30s), "");
        EXPECT_EQ(host.finish(), 1);
        EXPECT_NE(host.logText().find("INFO  Application terminating due to error\n"),
                  std::string::npos);
        // Memory must follow what arrived, not what was announced.
        ASSERT_TRUE(host.process().peakMemoryKiB().has_value());
        EXPECT_LT(*host.process().peakMemoryKiB(), 200 * 1024);
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

}  // namespace
}  // namespace kivo::testing
