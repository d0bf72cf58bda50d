#include <gtest/gtest.h>

#include <utility>

#include "foundation/Time.h"

namespace kivo::foundation {
namespace {

using namespace std::chrono;

// Dates from year 0000 to 9999 are the decoder's time table; here, what a fraction becomes.
TEST(FormatTimestampTest, WritesUtcSecondsWithFixedMilliseconds) {
    const std::pair<TimePoint, const char*> cases[] = {
        {sys_days{2027y / June / 30} + 13h + 59min + 59s + 999ms, "2027-06-30T13:59:59.000Z"},
        {sys_days{1969y / December / 31} + 23h + 59min + 59s + 500ms, "1969-12-31T23:59:59.000Z"},
    };
    for (const auto& [instant, text] : cases) {
        EXPECT_EQ(formatTimestamp(instant), text);
    }
}

}  // namespace
}  // namespace kivo::foundation
