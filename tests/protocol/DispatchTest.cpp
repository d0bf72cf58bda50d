#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <utility>

#include "protocol/Dispatch.h"
#include "protocol/Messages.h"
#include "support/ScopedLog.h"
#include "support/TestCases.h"

namespace kivo::protocol {
namespace {

using nlohmann::json;

// One request from the test; answers collected for it.
struct OneRequestChannel final : MessageChannel {
    std::optional<std::string> request;
    std::vector<std::string> answers;
    std::optional<std::string> readRequestMessage() override { return std::exchange(request, {}); }
    void writeResponseMessage(std::string_view payload) override { answers.emplace_back(payload); }
};

TEST(Dispatch, FailuresBecomeErrorAnswers) {
    const testing::ScopedLog log;
    RequestServices services;
    services.openKeyStore = []() -> std::unique_ptr<foundation::KeyStore> {
        throw std::runtime_error("no key store in this test");
    };
    services.now = [] { return std::chrono::system_clock::now(); };
    for (const json& c : testing::testCases("protocol/requests.json", "dispatch failures")) {
        OneRequestChannel channel;
        channel.request = c[0].get<std::string>();
        EXPECT_EQ(processRequest(channel, services), RequestOutcome::failed) << c[0];
        ASSERT_EQ(channel.answers.size(), 1u);
        EXPECT_EQ(json::parse(channel.answers[0]),
                  (json{{"result", "error"}, {"error_code", c[1]}, {"error_message", c[2]}}));
    }
    const std::string text = log.text();
    EXPECT_NE(text.find("ERROR SigningError (101): Request type is unknown: Sign2\n"),
              std::string::npos);
    EXPECT_NE(text.find("ERROR Unexpected error: no key store in this test\n"), std::string::npos);
    EXPECT_NE(text.find("INFO  Application terminating due to error\n"), std::string::npos);
}

// The sign answer writes its documents without the general encoder; the bytes must not differ.
TEST(EncodeResponse, SignAnswerIsWhatTheGeneralEncoderWrites) {
    const std::vector<std::vector<SignedData>> documentLists = {
        {},
        {{"PGEvPg==", "a"}},
        {{"PGEvPg==", "quote \" backslash \\ newline \n"}, {"", ""}, {"QUJD", "\u00fc"}},
        {{"not Base64: \"<a/>\"\n", "x"}},
        {{"QQ==", "bad \xff id"}, {"bad \xfe data", "y"}},
    };
    for (const bool withCertificate : {false, true}) {
        for (const auto& documents : documentLists) {
            JsonSignResponse response;
            json expected = {{"result", "ok"}};
            if (withCertificate) {
                response.certSerial = "01ab";
                response.certExpiry = "2027-06-30T13:59:59.000Z";
                response.certIssuer = "CN=\"Demo\" CA";
                expected["cert_serial"] = *response.certSerial;
                expected["cert_expiry"] = *response.certExpiry;
                expected["cert_issuer"] = *response.certIssuer;
            }
            response.signedData = documents;
            for (const SignedData& entry : documents) {
                expected["signed_data"].push_back({{"data", entry.data}, {"id", entry.id}});
            }
            EXPECT_EQ(encodeResponse(response),
                      expected.dump(-1, ' ', false, json::error_handler_t::replace));
        }
    }
}

}  // namespace
}  // namespace kivo::protocol
