#include <gtest/gtest.h>

#include <string>

#include "protocol/Dispatch.h"
#include "protocol/Messages.h"

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
