// Hostile JSON: nesting, huge strings, duplicate keys, numbers beyond 64 bits, broken escapes and
// broken UTF-8. Each refused request ends its own host; the accepted ones share one session.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <nlohmann/json.hpp>

#include "HostileHost.h"

namespace kivo::testing {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

const std::string parseFailure = "Failed to parse JSON request - ";

std::string nested(std::size_t depth) {
    return std::string(depth, '[') + std::string(depth, ']');
}

struct RefusedRequest {
    // Large payloads are made when their case runs, so that this process stays small while the
    // host is measured.
    RefusedRequest(const char* name, std::function<std::string()> make, std::int64_t code,
                   std::string messageStart)
        : name(name), payload(std::move(make)), code(code), messageStart(std::move(messageStart)) {}
    RefusedRequest(const char* name, std::string text, std::int64_t code, std::string messageStart)
        : RefusedRequest(
              name, [text] { return text; }, code, std::move(messageStart)) {}

    const char* name;
    std::function<std::string()> payload;
    std::int64_t code;
    std::string messageStart;
};

void PrintTo(const RefusedRequest& c, std::ostream* out) {
    *out << c.name;
}

class HostileJsonRefused : public ::testing::TestWithParam<RefusedRequest> {};

TEST_P(HostileJsonRefused, AnswersOneErrorAndExits) {
    const RefusedRequest& c = GetParam();
    const HostRun run = runHost(tools::frameMessage(c.payload()), 1);
    expectErrorRun(run, c.code, c.messageStart);
    expectMemoryBounded(run);
}

std::string versionWith(const std::string& members) {
    return R"({"type":"version",)" + members + "}";
}

INSTANTIATE_TEST_SUITE_P(
    Requests, HostileJsonRefused,
    ::testing::Values(
        RefusedRequest{"NestingJustPastTheLimitInAnIgnoredKey",
                       versionWith(R"("extra":)" + nested(65)), 101, parseFailure},
        RefusedRequest{
            "MillionLevelsInsideUserDetails",
            [] { return R"({"type":"version","user_details":{"aki":)" + nested(1000000) + "}}"; },
            101, parseFailure},
        RefusedRequest{"MillionNestedObjects", [] { return repeated(R"({"a":)", 1000000); }, 101,
                       parseFailure},
        RefusedRequest{"LastDuplicateKeyCounts", R"({"type":"version","type":"status"})", 101,
                       "Request type is unknown: status"},
        RefusedRequest{"HugeUnknownType",
                       [] { return R"({"type":"s)" + std::string(8 << 20, 'x') + R"("})"; }, 101,
                       "Request type is unknown: sxxxxxxxx"},
        RefusedRequest{"IdleTimeoutTwoToThe63",
                       versionWith(R"("idle_timeout":9223372036854775808)"), 101, parseFailure},
        RefusedRequest{"IdleTimeoutTwoToThe64",
                       versionWith(R"("idle_timeout":18446744073709551616)"), 101, parseFailure},
        RefusedRequest{"IdleTimeoutBelowInt64",
                       versionWith(R"("idle_timeout":-9223372036854775809)"), 101, parseFailure},
        RefusedRequest{"IdleTimeoutHundredDigits",
                       versionWith(R"("idle_timeout":)" + std::string(100, '9')), 101,
                       parseFailure},
        RefusedRequest{"IdleTimeoutBeyondDouble", versionWith(R"("idle_timeout":1e400)"), 101,
                       parseFailure},
        RefusedRequest{"IdleTimeoutWithExponent", versionWith(R"("idle_timeout":1e3)"), 101,
                       parseFailure},
        RefusedRequest{"UnknownEscape", R"({"type":"vers\xion"})", 101, parseFailure},
        RefusedRequest{"ShortUnicodeEscape", R"({"type":"\u12"})", 101, parseFailure},
        RefusedRequest{"NonHexUnicodeEscape", R"({"type":"\uZZZZ"})", 101, parseFailure},
        RefusedRequest{"LoneHighSurrogate", R"({"type":"\ud800"})", 101, parseFailure},
        RefusedRequest{"LoneLowSurrogate", R"({"type":"\udc00x"})", 101, parseFailure},
        RefusedRequest{"SurrogatesReversed", R"({"type":"\udc00\ud800"})", 101, parseFailure},
        RefusedRequest{"EscapeCutAtTheEnd", R"({"type":"version\)", 101, parseFailure},
        RefusedRequest{"RawControlCharacter", versionWith("\"msg_source\":\"a\x01z\""), 101,
                       parseFailure},
        RefusedRequest{"OverlongUtf8", versionWith("\"msg_source\":\"\xC0\xAF\""), 101,
                       parseFailure},
        RefusedRequest{"Utf8EncodedSurrogate", versionWith("\"msg_source\":\"\xED\xA0\x80\""), 101,
                       parseFailure},
        RefusedRequest{"Utf8BeyondU10FFFF", versionWith("\"msg_source\":\"\xF4\x90\x80\x80\""), 101,
                       parseFailure},
        RefusedRequest{"Utf8CutBeforeTheQuote", versionWith("\"msg_source\":\"\xE2\x82\""), 101,
                       parseFailure},
        RefusedRequest{"BadUtf8InAKey", versionWith("\"ms\xFFg\":\"x\""), 101, parseFailure},
        // The decoder quotes the bytes it stopped at; the answer must still be valid UTF-8.
        RefusedRequest{"BadUtf8OutsideStrings", std::string(R"({"type":"version"})") + "\xA0\xFF",
                       101, parseFailure},
        RefusedRequest{"Utf16Request", std::string("{\0\"\0t\0\"\0:\0\"\0x\0\"\0}\0", 18), 101,
                       parseFailure},
        RefusedRequest{"SecondValueAfterTheObject", R"({"type":"version"} {})", 101, parseFailure}),
    [](const ::testing::TestParamInfo<RefusedRequest>& info) {
        return std::string(info.param.name);
    });

TEST(HostileJsonAccepted, OddButValidRequestsAreServedInOneSession) {
    const MeasuredHost host = startMeasuredHost();
    const std::string manyEscapes = repeated("\\u00e9", 1000000);
    const std::vector<std::pair<std::string, std::string>> requests{
        {"first of duplicate keys loses", R"({"type":"status","type":"version"})"},
        {"largest idle_timeout", versionWith(R"("idle_timeout":9223372036854775807)")},
        {"smallest idle_timeout", versionWith(R"("idle_timeout":-9223372036854775808)")},
        {"nesting at the limit in an ignored key", versionWith(R"("extra":)" + nested(64))},
        {"surrogate pair and NUL escape", versionWith(R"("msg_source":"\ud834\udd1e\u0000")")},
        {"every JSON escape", versionWith(R"("msg_source":"\"\\\/\b\f\n\r\t")")},
        {"32 MiB string", versionWith(R"("msg_source":")" + std::string(32 << 20, 'x') + "\"")},
        {"a million escapes", versionWith(R"("msg_source":")" + manyEscapes + "\"")},
    };
    std::size_t largest = 0;
    for (const auto& [what, payload] : requests) {
        ASSERT_TRUE(host->send(payload)) << what;
        const std::optional<std::string> answer = host->answer();
        ASSERT_TRUE(answer.has_value()) << what;
        EXPECT_EQ(json::parse(*answer).value("result", ""), "ok") << what;
        largest = std::max(largest, payload.size());
    }
    host->process().closeInput();
    const HostRun run = finishRun(host, 0, largest);
    EXPECT_EQ(run.trailing, "");
    EXPECT_EQ(run.exitStatus, 0);
    expectMemoryBounded(run);
    // Both ends of the 64-bit range reach the idle clock as doubles, without overflow.
    EXPECT_NE(run.log.find("INFO  Setting idle timeout = 9223372036854776.0 secs\n"),
              std::string::npos);
    EXPECT_NE(run.log.find("INFO  Setting idle timeout = -9223372036854776.0 secs\n"),
              std::string::npos);
}

}  // namespace
}  // namespace kivo::testing
