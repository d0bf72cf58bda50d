#include "protocol/Dispatch.h"

#include <gtest/gtest.h>

#include <deque>
#include <nlohmann/json.hpp>

#include "host/Log.h"
#include "protocol/SigningError.h"
#include "protocol/VersionRequest.h"
#include "support/TempDir.h"

namespace kivo::protocol {
namespace {

using nlohmann::json;

// Requests queued by the test; answers collected for it.
class QueuedChannel final : public MessageChannel {
  public:
    std::deque<std::string> requests;
    std::vector<std::string> answers;

    std::optional<ReceivedRequest> readRequestMessage() override {
        if (requests.empty()) {
            return std::nullopt;
        }
        std::string text = std::move(requests.front());
        requests.pop_front();
        return ReceivedRequest{decodeRequest(text), text};
    }
    void writeResponseMessage(std::string_view payload) override { answers.emplace_back(payload); }
};

class Dispatch : public ::testing::Test {
  protected:
    void SetUp() override {
        host::setProcessLog(host::LogFile(dir.path() / "kivo-signing.log"));
        host::setVerboseLogging(false);
        services.versionFacts = {"1.4.0.27", "Linux version 6.1.0", "x86_64", "/home/u/apps"};
        services.openKeyStore = [this]() -> std::unique_ptr<certs::KeyStore> {
            ++keyStoresOpened;
            throw std::runtime_error("no key store in this test");
        };
        services.now = [] { return std::chrono::system_clock::now(); };
        services.setIdlePeriod = [this](double seconds) { idlePeriods.push_back(seconds); };
    }
    void TearDown() override { host::setVerboseLogging(false); }

    std::string log() const { return testing::readFile(dir.path() / "kivo-signing.log"); }

    testing::TempDir dir;
    RequestServices services;
    QueuedChannel channel;
    int keyStoresOpened = 0;
    std::vector<double> idlePeriods;
};

TEST_F(Dispatch, VersionWithoutSignerAnswersWithoutOpeningKeyStores) {
    channel.requests = {R"({"type":"Version"})"};
    EXPECT_EQ(processRequest(channel, services), RequestOutcome::answered);
    ASSERT_EQ(channel.answers.size(), 1u);
    EXPECT_EQ(json::parse(channel.answers[0]),
              json::parse(R"({"result":"ok","major":"1","minor":"4","release":"0","build":"27",
                  "version":"1.4.0.27","os":"Linux version 6.1.0","os_type":"x86_64",
                  "install_location":"/home/u/apps"})"));
    EXPECT_EQ(keyStoresOpened, 0);
    EXPECT_EQ(processRequest(channel, services), RequestOutcome::endOfInput);
}

TEST_F(Dispatch, VersionReportsSignerSearchFailureAndKeepsServing) {
    channel.requests = {R"({"type":"version","user_details":{"name":"Jane","aki":[]}})",
                        R"({"type":"version"})"};
    processRequest(channel, services);
    const json answer = json::parse(channel.answers.at(0));
    EXPECT_EQ(answer["result"], "error");
    EXPECT_EQ(answer["error_code"], 101);
    EXPECT_EQ(answer["error_message"], "Email is missing from the signing request message");
    EXPECT_EQ(answer["version"], "1.4.0.27");
    EXPECT_FALSE(answer.contains("cert_serial"));
    EXPECT_NE(log().find("ERROR SigningError loading certificate (101): Email is missing from the "
                         "signing request message\n"),
              std::string::npos);
    EXPECT_EQ(processRequest(channel, services), RequestOutcome::answered);
    EXPECT_EQ(keyStoresOpened, 0);
}

TEST_F(Dispatch, IdleTimeoutIsLoggedBeforeTheMinimumApplies) {
    channel.requests = {R"({"type":"version","idle_timeout":250})",
                        R"({"type":"version","idle_timeout":60000})"};
    processRequest(channel, services);
    processRequest(channel, services);
    EXPECT_EQ(idlePeriods, (std::vector<double>{0.25, 60.0}));
    EXPECT_NE(log().find("INFO  Setting idle timeout = 0.25 secs\n"), std::string::npos);
    EXPECT_NE(log().find("INFO  Setting idle timeout = 60.0 secs\n"), std::string::npos);
}

TEST_F(Dispatch, VerboseRequestRaisesLoggingForItselfOnly) {
    channel.requests = {R"({"type":"version","verbose":"ON"})", R"({"type":"version"})"};
    processRequest(channel, services);
    EXPECT_FALSE(host::verboseLogging());
    EXPECT_NE(log().find("DEBUG Request message = {\"type\":\"version\",\"verbose\":\"ON\"}"),
              std::string::npos);
    processRequest(channel, services);
    EXPECT_EQ(log().find("DEBUG Request message = {\"type\":\"version\"}"), std::string::npos);
}

TEST_F(Dispatch, FailuresBecomeErrorAnswers) {
    struct Case {
        const char* request;
        std::int64_t code;
        const char* message;
    };
    for (const Case c : {
             Case{"{}", 101, "Request type is missing from the request message"},
             Case{R"({"type":"Sign2"})", 101, "Request type is unknown: Sign2"},
             Case{R"({"type":"sign"})", 101, "Signing request does not include any user_details"},
             Case{R"({"type":"sign","user_details":{}})", 101,
                  "Signing request does not include any XML data to sign"},
             Case{R"({"type":"sign","user_details":{"email":"e"},"xml_data":[]})", 101,
                  "Name is missing from the signing request message"},
             Case{R"({"type":"sign","xml_data":[],
                      "user_details":{"name":"n","email":"e","abn":"1","aki":[]}})",
                  100, "Unexpected - no key store in this test"},
         }) {
        channel.requests = {c.request};
        channel.answers.clear();
        try {
            processRequest(channel, services);
            ADD_FAILURE() << "no failure for " << c.request;
        } catch (...) {
            answerWithError(channel, std::current_exception());
        }
        ASSERT_EQ(channel.answers.size(), 1u);
        EXPECT_EQ(
            json::parse(channel.answers[0]),
            (json{{"result", "error"}, {"error_code", c.code}, {"error_message", c.message}}));
    }
    EXPECT_NE(log().find("ERROR SigningError (101): Request type is unknown: Sign2\n"),
              std::string::npos);
    EXPECT_NE(log().find("ERROR Unexpected error: no key store in this test\n"), std::string::npos);
    EXPECT_NE(log().find("INFO  Application terminating due to error\n"), std::string::npos);
}

TEST(VersionInfo, NeedsExactlyFourDotSeparatedParts) {
    JsonVersionResponse response;
    fillVersionInfo(response, {"1..0.27", "os", "arch", "/apps"});
    EXPECT_EQ(response.minor, "");
    EXPECT_EQ(response.build, "27");
    for (const char* bad : {"1.4.0", "1.4.0.27.1", ""}) {
        JsonVersionResponse untouched;
        try {
            fillVersionInfo(untouched, {bad, "os", "arch", "/apps"});
            ADD_FAILURE() << bad;
        } catch (const SigningError& error) {
            EXPECT_EQ(error.code(), 100);
            EXPECT_EQ(error.message(), std::string("Invalid application version number: ") + bad);
        }
        EXPECT_FALSE(untouched.major);
    }
}

TEST(FormatSeconds, ShortestRoundTripWithAFraction) {
    EXPECT_EQ(formatSeconds(5.0), "5.0");
    EXPECT_EQ(formatSeconds(0.25), "0.25");
    EXPECT_EQ(formatSeconds(1.0), "1.0");
    EXPECT_EQ(formatSeconds(-0.001), "-0.001");
    EXPECT_EQ(formatSeconds(0.1 + 0.2), "0.30000000000000004");
}

}  // namespace
}  // namespace kivo::protocol
