#include <gtest/gtest.h>

#include <utility>

#include "foundation/Time.h"

namespace kivo::foundation {
namespace {

using namespace std::chrono;

TEST(FormatTimestampTest, WritesUtcSecondsWithFixedMilliseconds) {
    const std::pair<TimePoint, const char*> cases[] = {
        {sys_days{2027y / June / 30} + 13h + 59min + 59s + 999ms, "2027-06-30T13:59:59.000Z"},
        {sys_days{2028y / February / 29}, "2028-02-29T00:00:00.000Z"},
        {sys_days{1969y / December / 31} + 23h + 59min + 59s + 500ms, "1969-12-31T23:59:59.000Z"},
        // Certificate dates span years 0000 to 9999, far past a nanosecond clock's limits.
        {sys_days{9999y / December / 31} + 23h + 59min + 59s, "9999-12-31T23:59:59.000Z"},
        {sys_days{2262y / April / 11} + 23h + 47min + 17s, "2262-04-11T23:47:17.000Z"},
        {sys_days{1677y / September / 21}, "1677-09-21T00:00:00.000Z"},
        {sys_days{0y / January / 1}, "0000-01-01T00:00:00.000Z"},
    };
    for (const auto& [instant, text] : cases) {
        EXPECT_EQ(formatTimestamp(instant), text);
    }
}

}  // namespace
}  // namespace kivo::foundation
