// Request decoding and number formatting, against the cases in tests/data/protocol/requests.json.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "protocol/Dispatch.h"
#include "protocol/Messages.h"
#include "protocol/UsualRequestReader.h"
#include "support/TestCases.h"

namespace kivo::protocol {
namespace {

using nlohmann::json;

const json& cases(std::string_view section) {
    return testing::testCases("protocol/requests.json", section);
}

// The message decodeRequest refuses `payload` with; "accepted" when it does not.
std::string refusal(const std::string& payload) {
    try {
        (void)decodeRequest(payload);
    } catch (const RequestDecodeError& error) {
        return error.what();
    }
    return "accepted";
}

// Integer fields take a JSON number by its value: any spelling of a whole number in the signed
// 64-bit range, and nothing else (the refusals are rows of the type rules' table).
TEST(DecodeRequest, IntegerFieldsTakeWholeNumbersInAnySpelling) {
    for (const json& c : cases("integer fields")) {
        EXPECT_EQ(decodeRequest(R"({"idle_timeout":)" + c[0].get<std::string>() + "}").idleTimeout,
                  c[1].get<std::int64_t>())
            << c[0];
    }
}

// Usual requests are read by simdjson, everything else by nlohmann::json; both must give the
// same request.
TEST(DecodeRequest, UsualReaderGivesWhatTheGeneralReaderGives) {
    for (const json& c : cases("the usual reader")) {
        const std::string payload = c[0];
        SCOPED_TRACE(payload);
        EXPECT_EQ(readUsualRequest(payload).has_value(), c[1].get<bool>());
        EXPECT_TRUE(decodeRequest(payload) == readGeneralRequest(payload));
    }
}

// Whatever simdjson refuses is refused with nlohmann::json's message, or with the type rules'.
TEST(DecodeRequest, RefusedPayloadsKeepTheirMessages) {
    auto syntaxErrors = cases("refused with").get<std::vector<std::string>>();
    syntaxErrors.insert(syntaxErrors.end(), {"{\"type\":\"\xff\"}", "{\"type\":\"\xed\xa0\x80\"}"});
    for (const std::string& payload : syntaxErrors) {
        std::string expected;
        try {
            [[maybe_unused]] const json parsed = json::parse(payload);
        } catch (const json::exception& error) {
            expected = error.what();
        }
        EXPECT_EQ(refusal(payload), expected) << payload;
    }
    for (const json& c : cases("refused by")) {
        EXPECT_EQ(refusal(c[0].get<std::string>()), c[1].get<std::string>());
    }
}

TEST(FormatSeconds, AlwaysFractionalNeverExponent) {
    for (const json& c : cases("seconds")) {
        EXPECT_EQ(formatSeconds(c[0].get<double>()), c[1].get<std::string>());
    }
}

}  // namespace
}  // namespace kivo::protocol
