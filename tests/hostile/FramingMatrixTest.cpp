// Hostile framing: requests cut short at every byte, lengths that promise far more than arrives,
// and a long session of requests.

#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>

#include "HostileHost.h"
#include "SigningStore.h"

namespace kivo::testing {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

const std::string parseFailure = "Failed to parse JSON request - ";

bool cutsInsideCharacter(std::string_view payload, std::size_t kept) {
    return kept < payload.size() && (static_cast<unsigned char>(payload[kept]) & 0xC0) == 0x80;
}

TEST(HostileFraming, EveryTruncationOfAValidRequest) {
    // Multi-byte characters, so that some cuts fall inside one.
    const std::string payload =
        R"({"type":"version","msg_source":"Überblick – Seite 𝄞","verbose":"ON"})";
    const std::string frame = tools::frameMessage(payload);
    const Environment verbose{{"KIVO_VERBOSE_LOGGING", "ON"}};
    for (std::size_t length = 0; length <= frame.size(); ++length) {
        SCOPED_TRACE("first " + std::to_string(length) + " bytes");
        const bool whole = length == frame.size();
        const HostRun run = runHost(frame.substr(0, length), length < 4 ? 0 : 1, verbose, 60s);
        expectMemoryBounded(run);
        if (length < 4) {
            // No whole length prefix: the browser went away, the host ends normally.
            EXPECT_EQ(run.answers.size(), 0u);
            EXPECT_EQ(run.trailing, "");
            EXPECT_EQ(run.exitStatus, 0);
            EXPECT_EQ(run.log.find("Request message"), std::string::npos);
        } else if (whole) {
            expectServedRun(run, 1);
        } else {
            // The host waits for the missing bytes until the input ends, then decodes what came.
            expectErrorRun(run, 101, parseFailure);
            const std::string received = payload.substr(0, length - 4);
            const bool partial = cutsInsideCharacter(payload, received.size());
            EXPECT_NE(run.log.find("DEBUG Request message = " +
                                   (partial ? std::string("<not a string>") : received) + "\n"),
                      std::string::npos);
        }
    }
}

struct AnnouncedLength {
    const char* name;
    std::uint32_t length;
    std::string data;  // what actually arrives before the input ends
    // What the host makes of the bytes that came: an error code and message start, or (code 0)
    // an answer when they happen to be a whole request.
    std::int64_t code;
    std::string messageStart;
};

void PrintTo(const AnnouncedLength& c, std::ostream* out) {
    *out << c.name;
}

class HostileAnnouncedLength : public ::testing::TestWithParam<AnnouncedLength> {};

TEST_P(HostileAnnouncedLength, OnlyWhatArrivesIsDecodedAndHeld) {
    const AnnouncedLength& c = GetParam();
    const HostRun run = runHost(announced(c.length, c.data), 1);
    if (c.code == 0) {
        expectServedRun(run, 1);
    } else {
        expectErrorRun(run, c.code, c.messageStart);
    }
    EXPECT_NE(run.log.find("INFO  Request message length = " + std::to_string(c.length) + "\n"),
              std::string::npos);
    // Memory follows the bytes that came, not the length announced.
    ASSERT_TRUE(run.peakMemoryKiB.has_value());
    EXPECT_LT(*run.peakMemoryKiB, baseMemoryKiB);
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, HostileAnnouncedLength,
    ::testing::Values(
        AnnouncedLength{"ZeroWithNothing", 0, "", 101, parseFailure},
        AnnouncedLength{"ZeroThenARequest", 0, R"({"type":"version"})", 101, parseFailure},
        AnnouncedLength{"OneWithNothing", 1, "", 101, parseFailure},
        AnnouncedLength{"OneWithItsByte", 1, "{", 101, parseFailure},
        AnnouncedLength{"TwoWithAnEmptyObject", 2, "{}", 101,
                        "Request type is missing from the request message"},
        AnnouncedLength{"TwoGigabytesWithNothing", 0x80000000u, "", 101, parseFailure},
        AnnouncedLength{"TwoGigabytesWithAFewBytes", 0x80000000u, R"({"type":"vers)", 101,
                        parseFailure},
        AnnouncedLength{"TwoGigabytesWithAWholeRequest", 0x80000000u, R"({"type":"version"})", 0,
                        ""},
        AnnouncedLength{"FourGigabytesWithNothing", 0xFFFFFFFFu, "", 101, parseFailure},
        AnnouncedLength{"FourGigabytesWithAMegabyte", 0xFFFFFFFFu,
                        R"({"type":"version","msg_source":")" + std::string(1 << 20, 'x'), 101,
                        parseFailure}),
    [](const ::testing::TestParamInfo<AnnouncedLength>& info) {
        return std::string(info.param.name);
    });

TEST(HostileFraming, AThousandRequestsInOneSession) {
    // Each request carries 64 KiB of its own, so a host that kept any part of its requests
    // would grow far past the bound of one request.
    const SigningStore& store = signingStore();
    const MeasuredHost host = startMeasuredHost(store.environment());
    constexpr int requests = 1000;
    constexpr int burst = 10;
    std::size_t largest = 0;
    std::string expectedSerial = store.signer.serialHex;
    for (int first = 0; first < requests; first += burst) {
        std::string bytes;
        for (int i = first; i < first + burst; ++i) {
            // Every hundredth request also makes the host search the token.
            const std::string details =
                i % 100 == 99 ? R"("user_details":)" + signerDetailsJson() + "," : "";
            const std::string payload = "{" + details + R"("type":"version","msg_source":")" +
                                        std::to_string(i) + std::string(64 << 10, 'm') + "\"}";
            largest = std::max(largest, payload.size());
            bytes += tools::frameMessage(payload);
        }
        ASSERT_TRUE(host->process().sendRaw(bytes));
        for (int i = first; i < first + burst; ++i) {
            const std::optional<std::string> answer = host->answer();
            ASSERT_TRUE(answer.has_value()) << "request " << i;
            const json parsed = json::parse(*answer);
            ASSERT_EQ(parsed.value("result", ""), "ok") << "request " << i << " " << *answer;
            EXPECT_EQ(parsed.contains("cert_serial"), i % 100 == 99) << "request " << i;
            if (i % 100 == 99) {
                EXPECT_EQ(parsed.value("cert_serial", ""), expectedSerial);
            }
        }
    }
    host->process().closeInput();
    const HostRun run = finishRun(host, 0, largest);
    EXPECT_EQ(run.trailing, "");
    EXPECT_EQ(run.exitStatus, 0);
    expectMemoryBounded(run);
    // The log is cut back at the start of a request once it passes its limit.
    EXPECT_LT(run.log.size(), 64u << 10);
}

}  // namespace
}  // namespace kivo::testing
