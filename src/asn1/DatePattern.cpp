#include "asn1/DatePattern.h"

#include <cstdint>

namespace kivo::asn1 {

namespace {

struct Fields {
    int year = 1970;
    unsigned month = 1;
    unsigned day = 1;
    int hour = 0;
    int minute = 0;
    int second = 0;
    std::optional<int> offsetSeconds;  // east of UTC; set by the zone field
};

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Reads exactly `width` digits from the front of `text`.
std::optional<int> takeNumber(std::string_view& text, std::size_t width) {
    if (width == 0 || width > 4 || text.size() < width) {
        return std::nullopt;
    }
    int number = 0;
    for (std::size_t i = 0; i < width; ++i) {
        if (!isDigit(text[i])) {
            return std::nullopt;
        }
        number = number * 10 + (text[i] - '0');
    }
    text.remove_prefix(width);
    return number;
}

std::optional<int> takeZone(std::string_view& text) {
    if (!text.empty() && text.front() == 'Z') {
        text.remove_prefix(1);
        return 0;
    }
    if (text.empty() || (text.front() != '+' && text.front() != '-')) {
        return std::nullopt;
    }
    const int sign = text.front() == '-' ? -1 : 1;
    text.remove_prefix(1);
    const auto hours = takeNumber(text, 2);
    const auto minutes = takeNumber(text, 2);
    if (!hours || !minutes || *hours > 23 || *minutes > 59) {
        return std::nullopt;
    }
    return sign * (*hours * 3600 + *minutes * 60);
}

int fullYear(int number, std::size_t width) {
    if (width != 2) {
        return number;
    }
    return number >= 50 ? 1900 + number : 2000 + number;
}

// Applies one run of a pattern letter to the fields; false when the text does not fit it.
bool takeField(char letter, std::size_t width, std::string_view& text, Fields& fields) {
    if (letter == 'Z') {
        fields.offsetSeconds = takeZone(text);
        return fields.offsetSeconds.has_value();
    }
    const auto number = takeNumber(text, width);
    if (!number) {
        return false;
    }
    switch (letter) {
        case 'y':
            fields.year = fullYear(*number, width);
            return true;
        case 'M':
            fields.month = static_cast<unsigned>(*number);
            return true;
        case 'd':
            fields.day = static_cast<unsigned>(*number);
            return true;
        case 'H':
            fields.hour = *number;
            return *number <= 23;
        case 'm':
            fields.minute = *number;
            return *number <= 59;
        case 's':
            fields.second = *number;
            return *number <= 59;
        default:
            return false;
    }
}

bool isPatternLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

std::optional<TimePoint> toTimePoint(const Fields& fields) {
    using namespace std::chrono;
    const year_month_day date{year{fields.year}, month{fields.month}, day{fields.day}};
    if (!date.ok()) {
        return std::nullopt;
    }
    const std::int64_t secondsSinceEpoch =
        static_cast<std::int64_t>(sys_days{date}.time_since_epoch().count()) * 86400 +
        fields.hour * 3600 + fields.minute * 60 + fields.second - fields.offsetSeconds.value_or(0);
    return TimePoint{seconds{secondsSinceEpoch}};
}

}  // namespace

std::optional<TimePoint> parseDatePattern(std::string_view text, std::string_view pattern) {
    Fields fields;
    while (!pattern.empty()) {
        const char letter = pattern.front();
        if (!isPatternLetter(letter)) {
            if (text.empty() || text.front() != letter) {
                return std::nullopt;
            }
            text.remove_prefix(1);
            pattern.remove_prefix(1);
            continue;
        }
        const std::size_t width = pattern.find_first_not_of(letter) == std::string_view::npos
                                      ? pattern.size()
                                      : pattern.find_first_not_of(letter);
        if (!takeField(letter, width, text, fields)) {
            return std::nullopt;
        }
        pattern.remove_prefix(width);
    }
    if (!text.empty()) {
        return std::nullopt;
    }
    return toTimePoint(fields);
}

}  // namespace kivo::asn1
