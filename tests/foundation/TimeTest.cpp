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
        // Out-of-range certificate dates are held as the clock's limits; formatting the earliest
        // once overflowed while splitting off the day.
        {TimePoint::min(), "1677-09-21T00:12:43.000Z"},
        {TimePoint::max(), "2262-04-11T23:47:16.000Z"},
    };
    for (const auto& [instant, text] : cases) {
        EXPECT_EQ(formatTimestamp(instant), text);
    }
}

}  // namespace
}  // namespace kivo::foundation
