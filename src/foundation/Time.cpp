#include "foundation/Time.h"

#include <array>
#include <cstdio>
#include <ctime>

namespace kivo::foundation {
namespace {

struct UtcFields {
    int year;
    unsigned month;
    unsigned day;
    long long hours;
    long long minutes;
    long long seconds;
};

UtcFields utcFields(TimePoint instant) {
    using namespace std::chrono;
    const auto second = floor<seconds>(instant);
    const auto day = floor<days>(second);
    const year_month_day date{day};
    const hh_mm_ss time{second - day};
    return {static_cast<int>(date.year()),
            static_cast<unsigned>(date.month()),
            static_cast<unsigned>(date.day()),
            static_cast<long long>(time.hours().count()),
            static_cast<long long>(time.minutes().count()),
            static_cast<long long>(time.seconds().count())};
}

// "yyyy-MM-dd", `separator`, "HH:mm:ss", `suffix`, in UTC.
std::string formatUtc(TimePoint instant, char separator, const char* suffix) {
    const UtcFields f = utcFields(instant);
    std::array<char, 128> text{};
    std::snprintf(text.data(), text.size(), "%04d-%02u-%02u%c%02lld:%02lld:%02lld%s", f.year,
                  f.month, f.day, separator, f.hours, f.minutes, f.seconds, suffix);
    return text.data();
}

}  // namespace

std::string formatLogTimestamp(std::chrono::system_clock::time_point when) {
    const auto sinceEpoch = when.time_since_epoch();
    const auto seconds = std::chrono::floor<std::chrono::seconds>(sinceEpoch);
    const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(sinceEpoch - seconds);
    const std::time_t asTimeT = static_cast<std::time_t>(seconds.count());
    std::tm local{};
    ::localtime_r(&asTimeT, &local);
    std::array<char, 48> text{};
    std::snprintf(text.data(), text.size(), "%02d-%02d-%04d %02d:%02d:%02d.%03d", local.tm_mday,
                  local.tm_mon + 1, local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<int>(millis.count()));
    return text.data();
}

std::string formatTimestamp(TimePoint instant) {
    return formatUtc(instant, 'T', ".000Z");
}

std::string formatReadableUtc(TimePoint instant) {
    return formatUtc(instant, ' ', " UTC");
}

}  // namespace kivo::foundation
