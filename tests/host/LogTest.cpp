#include "host/Log.h"

#include <gtest/gtest.h>

#include "host/Framing.h"
#include "host/IdleTimeout.h"
#include "support/TempDir.h"

namespace kivo::host {
namespace {

using testing::readFile;
using testing::TempDir;
using testing::writeFile;

std::chrono::system_clock::time_point localTime(int year, int month, int day, int hour, int minute,
                                                int second, int millis) {
    std::tm parts{};
    parts.tm_year = year - 1900;
    parts.tm_mon = month - 1;
    parts.tm_mday = day;
    parts.tm_hour = hour;
    parts.tm_min = minute;
    parts.tm_sec = second;
    parts.tm_isdst = -1;
    return std::chrono::system_clock::from_time_t(std::mktime(&parts)) +
           std::chrono::milliseconds(millis);
}

TEST(LogFile, LinesHaveTimestampFiveCharacterLevelAndMessage) {
    TempDir dir;
    const auto when = localTime(2026, 12, 4, 7, 9, 7, 123);
    const LogFile log(dir / "kivo-signing.log", [when] { return when; });
    log.write(LogLevel::info, "Application launched");
    log.write(LogLevel::debug, "two\nlines");
    log.write(LogLevel::error, "");
    EXPECT_EQ(readFile(dir / "kivo-signing.log"),
              "04-12-2026 07:09:07.123 INFO  Application launched\n"
              "04-12-2026 07:09:07.123 DEBUG two\nlines\n"
              "04-12-2026 07:09:07.123 ERROR \n");
}

TEST(LogFile, SizeCheckDeletesOnlyPastTheLimitForTheVerbosity) {
    struct Case {
        std::size_t size;
        bool verbose;
        bool survives;
    };
    for (const Case c :
         {Case{12600, false, true}, Case{12601, false, false}, Case{20000, true, true},
          Case{549000, true, true}, Case{549001, true, false}}) {
        TempDir dir;
        const LogFile log(dir / "kivo-signing.log");
        writeFile(dir / "kivo-signing.log", std::string(c.size, 'x'));
        log.checkSize(c.verbose);
        EXPECT_EQ(std::filesystem::exists(dir / "kivo-signing.log"), c.survives) << c.size;
    }
}

TEST(LogFile, NewFileAfterDeletionStartsWithAWholeLine) {
    TempDir dir;
    const LogFile log(dir / "kivo-signing.log");
    writeFile(dir / "kivo-signing.log", std::string(13000, 'x'));
    log.checkSize(false);
    log.write(LogLevel::info, "fresh");
    const std::string text = readFile(dir / "kivo-signing.log");
    EXPECT_EQ(text.size(), 24u + 6u + 5u + 1u) << text;
    EXPECT_EQ(std::filesystem::status(dir / "kivo-signing.log").permissions() &
                  std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

TEST(LogFile, FailuresAreSwallowed) {
    const LogFile unusable(std::filesystem::path("/proc/no/such/folder/kivo-signing.log"));
    unusable.write(LogLevel::info, "lost");
    unusable.checkSize(true);
    const LogFile off(std::nullopt);
    off.write(LogLevel::error, "lost");
    SUCCEED();
}

TEST(IdleTimeout, ExpiresOnlyStrictlyAfterTheRunningPeriod) {
    using std::chrono::milliseconds;
    TimeoutManager timeout;
    const TimeoutManager::TimePoint start{};
    EXPECT_FALSE(timeout.expired(start + std::chrono::hours(1))) << "paused at creation";
    timeout.start(start);
    EXPECT_FALSE(timeout.expired(start + milliseconds(120000)));
    EXPECT_TRUE(timeout.expired(start + milliseconds(120001)));
    timeout.pause();
    EXPECT_FALSE(timeout.expired(start + milliseconds(500000)));

    for (const auto& [requested, expected] : std::vector<std::pair<double, double>>{
             {0.5, 3.0}, {0.0, 3.0}, {-7.0, 3.0}, {60.0, 60.0}, {1e9, 1e9}}) {
        timeout.setPeriod(requested);
        EXPECT_EQ(timeout.duration, expected) << requested;
    }
}

TEST(Framing, LengthPrefixIsLittleEndianLow32Bits) {
    EXPECT_EQ(lengthPrefix(5), std::string("\x05\x00\x00\x00", 4));
    EXPECT_EQ(lengthPrefix(256), std::string("\x00\x01\x00\x00", 4));
    EXPECT_EQ(lengthPrefix(300), std::string("\x2C\x01\x00\x00", 4));
    EXPECT_EQ(lengthPrefix(0x1'0000'0001ull), std::string("\x01\x00\x00\x00", 4));
}

}  // namespace
}  // namespace kivo::host
