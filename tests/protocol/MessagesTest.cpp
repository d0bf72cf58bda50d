#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "protocol/Dispatch.h"
#include "protocol/Messages.h"
#include "protocol/UsualRequestReader.h"

namespace kivo::protocol {
namespace {

// Integer fields take a JSON number by its value: any spelling of a whole number in the signed
// 64-bit range, and nothing else.
TEST(DecodeRequest, IntegerFieldsTakeWholeNumbersInAnySpelling) {
    const struct {
        const char* number;
        std::int64_t expected;
    } accepted[] = {
        {"5000", 5000},
        {"5000.0", 5000},
        {"5e3", 5000},
        {"5.0E+3", 5000},
        {"-0.0", 0},
        {"-250", -250},
        {"9223372036854775807", INT64_MAX},
        {"-9223372036854775808", INT64_MIN},
        {"-9.223372036854775808e18", INT64_MIN},
    };
    for (const auto& c : accepted) {
        const JsonRequest request =
            decodeRequest(std::string(R"({"idle_timeout":)") + c.number + "}");
        EXPECT_EQ(request.idleTimeout, c.expected) << c.number;
    }

    const struct {
        const char* value;
        const char* shown;
    } refused[] = {
        {"2.5", "2.5"},        {"-0.5", "-0.5"},
        {"1e30", "1e+30"},     {"9223372036854775808", "9223372036854775808"},
        {"9.3e18", "9.3e+18"}, {R"("5000")", "string"},
        {"true", "boolean"},
    };
    for (const auto& c : refused) {
        try {
            (void)decodeRequest(std::string(R"({"idle_timeout":)") + c.value + "}");
            ADD_FAILURE() << "accepted " << c.value;
        } catch (const RequestDecodeError& error) {
            EXPECT_EQ(std::string(error.what()),
                      std::string("value of 'idle_timeout' must be a whole number within the "
                                  "signed 64-bit range, not ") +
                          c.shown);
        }
    }
}

// Usual requests are read by simdjson, everything else by nlohmann::json; both must give the
// same request.
TEST(DecodeRequest, UsualReaderGivesWhatTheGeneralReaderGives) {
    const struct {
        std::string payload;
        bool usual;
    } cases[] = {
        {R"({"type":"sign","user_details":{"name":"N","email":"e@x","abn":"1","aki":["ab","cd"]},)"
         R"("xml_data":[{"data":"PFIvPg==","id":"a"},{"id":"b","data":""}],"verbose":"ON",)"
         R"("signature_algorithm":"RSA_SHA256","idle_timeout":5000,"msg_source":"m"})",
         true},
        // A key given twice counts with its last value, null included.
        {R"({"type":"version","type":"sign","xml_data":[{"data":"A","data":"B","id":"x"}]})", true},
        {R"({"type":"sign","type":null,"user_details":{"name":"a"},"user_details":null})", true},
        {R"({"user_details":{"aki":null,"name":null},"xml_data":null,"idle_timeout":null})", true},
        {R"({"x":{"y":[1,2.5,-0,true,false,null,"s",{"z":[]}]},"type":"version","idle_timeout":-0})",
         true},
        {R"({"type":"s\"i\\g\/n\b\f\n\r\t","user_details":{"name":"Zo\u00eb"}})", false},
        {"{\"user_details\":{\"name\":\"Zo\xc3\xab \xe6\x9d\xb1 \xf0\x9f\x98\x80\"}}", true},
        {" \t\r\n{ \"type\" : \"version\" } \n", true},
        {"{}", true},
        {"\xef\xbb\xbf{\"type\":\"version\"}", false},
        // nlohmann::json ends the text at a zero byte after the value; simdjson refuses it.
        {std::string(R"({"type":"version"})") + '\0', false},
        {R"({"idle_timeout":5e3})", false},
        {R"({"idle_timeout":9223372036854775807})", true},
        {R"({"x":)" + std::string(40, '[') + std::string(40, ']') + "}", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.payload);
        EXPECT_EQ(readUsualRequest(c.payload).has_value(), c.usual);
        EXPECT_TRUE(decodeRequest(c.payload) == readGeneralRequest(c.payload));
    }
}

// Whatever simdjson refuses is refused with nlohmann::json's message, or with the type rules'.
TEST(DecodeRequest, RefusedPayloadsKeepTheirMessages) {
    const std::string syntaxErrors[] = {
        "",
        "{\"type\":\"a\tb\"}",
        R"({"type":"\ud800"})",
        R"({"type":"\udc00x"})",
        "{\"type\":\"\xff\"}",
        "{\"type\":\"\xed\xa0\x80\"}",
        R"({"type":"a"}x)",
        "{} {}",
        R"({"type":tru})",
        R"({"idle_timeout":1e400})",
        R"({"type":"a",})",
        R"({"type":01})",
    };
    for (const std::string& payload : syntaxErrors) {
        SCOPED_TRACE(payload);
        std::string expected = "accepted";
        try {
            const nlohmann::json parsed = nlohmann::json::parse(payload);
            expected += " " + parsed.dump();
        } catch (const nlohmann::json::exception& error) {
            expected = error.what();
        }
        try {
            (void)decodeRequest(payload);
            ADD_FAILURE() << "accepted";
        } catch (const RequestDecodeError& error) {
            EXPECT_EQ(error.what(), expected);
        }
    }
    const struct {
        std::string payload;
        const char* message;
    } refused[] = {
        {"[1]", "the request must be a JSON object, not array"},
        {R"({"type":5})", "value of 'type' must be a string, not number"},
        {R"({"xml_data":[{"data":"A"}]})", "required key 'xml_data[].id' is missing"},
        {R"({"xml_data":[{"data":"A","id":null}]})", "required key 'xml_data[].id' is missing"},
        {R"({"user_details":{"aki":["a",1]}})",
         "value of 'user_details.aki[]' must be a string, not number"},
        {R"({"type":"sign","type":["sign"]})", "value of 'type' must be a string, not array"},
        {R"({"x":)" + std::string(65, '[') + std::string(65, ']') + "}",
         "JSON nesting is deeper than 64 levels"},
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(c.payload);
        try {
            (void)decodeRequest(c.payload);
            ADD_FAILURE() << "accepted";
        } catch (const RequestDecodeError& error) {
            EXPECT_STREQ(error.what(), c.message);
        }
    }
}

TEST(FormatSeconds, AlwaysFractionalNeverExponent) {
    const struct {
        double seconds;
        const char* text;
    } cases[] = {
        {5.0, "5.0"},
        {0.25, "0.25"},
        {3.0, "3.0"},
        {100000.0, "100000.0"},
        {1e15, "1000000000000000.0"},
        {0.001, "0.001"},
        {1234.567, "1234.567"},
        {9223372036854775.807, "9223372036854776.0"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(formatSeconds(c.seconds), c.text) << c.text;
    }
}

}  // namespace
}  // namespace kivo::protocol
