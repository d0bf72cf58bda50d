#include "asn1/ASN1Value.h"

#include <cstdio>

namespace kivo::asn1 {

namespace {

template <typename T>
std::optional<T> alternativeOf(const std::optional<Value>& value) {
    if (value.has_value()) {
        if (const T* held = std::get_if<T>(&*value)) {
            return *held;
        }
    }
    return std::nullopt;
}

std::string timeText(TimePoint when) {
    const auto seconds = std::chrono::floor<std::chrono::seconds>(when);
    const auto days = std::chrono::floor<std::chrono::days>(seconds);
    const std::chrono::year_month_day date{days};
    const std::chrono::hh_mm_ss time{seconds - days};
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02u-%02u %02ld:%02ld:%02ld UTC",
                  static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                  static_cast<unsigned>(date.day()), static_cast<long>(time.hours().count()),
                  static_cast<long>(time.minutes().count()),
                  static_cast<long>(time.seconds().count()));
    return text;
}

}  // namespace

std::optional<std::string> textOf(const std::optional<Value>& value) {
    return alternativeOf<std::string>(value);
}

std::optional<Bytes> bytesOf(const std::optional<Value>& value) {
    return alternativeOf<Bytes>(value);
}

std::optional<bool> booleanOf(const std::optional<Value>& value) {
    return alternativeOf<bool>(value);
}

std::optional<TimePoint> timeOf(const std::optional<Value>& value) {
    return alternativeOf<TimePoint>(value);
}

std::string hexText(const Bytes& bytes) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const std::uint8_t octet : bytes) {
        text.push_back(digits[octet >> 4]);
        text.push_back(digits[octet & 0x0F]);
    }
    return text;
}

std::string valueText(const Value& value) {
    struct Renderer {
        std::string operator()(const std::string& text) const { return text; }
        std::string operator()(const Bytes& bytes) const { return hexText(bytes); }
        std::string operator()(bool flag) const { return flag ? "true" : "false"; }
        std::string operator()(TimePoint when) const { return timeText(when); }
    };
    return std::visit(Renderer{}, value);
}

}  // namespace kivo::asn1
