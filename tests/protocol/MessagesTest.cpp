#include "protocol/Messages.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace kivo::protocol {
namespace {

using nlohmann::json;

TEST(DecodeRequest, NullMeansAbsentAndEmptyListIsPresent) {
    const JsonRequest request = decodeRequest(
        R"({"type":"version","idle_timeout":null,"xml_data":[],"unknown":{"a":[1]},
            "user_details":{"aki":["AB"],"name":"N","email":null}})");
    EXPECT_EQ(request.type, "version");
    EXPECT_FALSE(request.idleTimeout);
    ASSERT_TRUE(request.xmlData);
    EXPECT_TRUE(request.xmlData->empty());
    ASSERT_TRUE(request.userDetails);
    EXPECT_EQ(request.userDetails->aki, std::vector<std::string>{"AB"});
    EXPECT_EQ(request.userDetails->name, "N");
    EXPECT_FALSE(request.userDetails->email);
    EXPECT_FALSE(request.userDetails->abn);

    const JsonRequest empty = decodeRequest("{}");
    EXPECT_FALSE(empty.type || empty.userDetails || empty.xmlData || empty.verbose);
}

TEST(DecodeRequest, KeepsIntegersAcrossTheSigned64BitRange) {
    EXPECT_EQ(decodeRequest(R"({"idle_timeout":-5})").idleTimeout, -5);
    EXPECT_EQ(decodeRequest(R"({"idle_timeout":9223372036854775807})").idleTimeout, INT64_MAX);
    EXPECT_EQ(decodeRequest(R"({"xml_data":[{"data":"PGEvPg==","id":"a"}]})").xmlData,
              (std::vector<XmlData>{{"PGEvPg==", "a"}}));
}

TEST(DecodeRequest, RejectsWrongShapes) {
    for (const char* payload : {
             "",
             "42",
             "[]",
             R"({"type":5})",
             R"({"idle_timeout":"5000"})",
             R"({"idle_timeout":2.5})",
             R"({"idle_timeout":9223372036854775808})",
             R"({"idle_timeout":1e400})",
             R"({"verbose":true})",
             R"({"xml_data":{}})",
             R"({"xml_data":[{"id":"a"}]})",
             R"({"xml_data":[{"data":"x"}]})",
             R"({"xml_data":["x"]})",
             R"({"user_details":[]})",
             R"({"user_details":{"aki":"AB"}})",
             R"({"user_details":{"aki":[1]}})",
             R"({"type":"version")",
             "{\"type\":\"\\x\"}",
             "{\"type\":\"\xc3\x28\"}",
         }) {
        EXPECT_THROW(decodeRequest(payload), RequestDecodeError) << payload;
    }
}

TEST(DecodeRequest, BoundsNesting) {
    const std::string deep =
        R"({"msg_source":"x","n":)" + std::string(1000, '[') + std::string(1000, ']') + "}";
    EXPECT_THROW(decodeRequest(deep), RequestDecodeError);
    const std::string shallow = R"({"n":)" + std::string(20, '[') + std::string(20, ']') + "}";
    EXPECT_NO_THROW(decodeRequest(shallow));
}

TEST(EncodeResponse, LeavesAbsentFieldsOut) {
    JsonSignResponse sign;
    sign.certSerial = "01ab";
    sign.certExpiry = "2027-06-30T13:59:59.000Z";
    sign.certIssuer = "Demo CA";
    EXPECT_EQ(json::parse(encodeResponse(sign)),
              json::parse(R"({"cert_serial":"01ab","cert_expiry":"2027-06-30T13:59:59.000Z",
                              "result":"ok","cert_issuer":"Demo CA"})"));
    sign.signedData.push_back({"PGEvPg==", "a"});
    EXPECT_EQ(json::parse(encodeResponse(sign))["signed_data"],
              json::parse(R"([{"data":"PGEvPg==","id":"a"}])"));

    JsonVersionResponse version;
    version.errorCode = 102;
    EXPECT_EQ(encodeResponse(version), R"({"error_code":102,"result":"ok"})");

    const std::string error = encodeResponse(JsonErrorResponse{"error", 101, "bad \"x\""});
    EXPECT_EQ(json::parse(error),
              json::parse(R"({"result":"error","error_code":101,"error_message":"bad \"x\""})"));
    EXPECT_EQ(error.find('\n'), std::string::npos);
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

TEST(EncodeResponse, NeverFailsOnTextThatIsNotUtf8) {
    const std::string encoded = encodeResponse(JsonErrorResponse{"error", 104, "bad \xff byte"});
    EXPECT_EQ(json::parse(encoded)["error_code"], 104);
}

}  // namespace
}  // namespace kivo::protocol
