#pragma once

// The decoded value of a primitive ASN.1 element: text, octets, a boolean or a point in time.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace kivo::asn1 {

using Bytes = std::vector<std::uint8_t>;
// Milliseconds in 64 bits: certificate dates run from year 0000 to 9999 (99991231235959Z stands
// for "no well-defined expiry"), far beyond a nanosecond clock's 1678 to 2262.
using TimePoint = std::chrono::sys_time<std::chrono::milliseconds>;
using Value = std::variant<std::string, Bytes, bool, TimePoint>;

// The value as one type; none when it is absent or holds another type.
std::optional<std::string> textOf(const std::optional<Value>& value);
std::optional<Bytes> bytesOf(const std::optional<Value>& value);
std::optional<bool> booleanOf(const std::optional<Value>& value);
std::optional<TimePoint> timeOf(const std::optional<Value>& value);

// A readable, stable rendering: text as is, octets as upper-case hex, "true"/"false", and times
// as "yyyy-MM-dd HH:mm:ss UTC".
std::string valueText(const Value& value);

// Upper-case hex of the octets, no separators.
std::string hexText(const Bytes& bytes);

}  // namespace kivo::asn1
