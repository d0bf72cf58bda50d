#pragma once

// The decoded value of a primitive ASN.1 element: text, octets, a boolean or a point in time.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "foundation/Bytes.h"
#include "foundation/Time.h"

namespace kivo::asn1 {

using foundation::Bytes;
using foundation::TimePoint;
using Value = std::variant<std::string, Bytes, bool, TimePoint>;

// The value as one type; none when it is absent or holds another type.
std::optional<std::string> textOf(const std::optional<Value>& value);
std::optional<Bytes> bytesOf(const std::optional<Value>& value);
std::optional<bool> booleanOf(const std::optional<Value>& value);
std::optional<TimePoint> timeOf(const std::optional<Value>& value);

// A readable, stable rendering: text as is, octets as upper-case hex, "true"/"false", and times
// as "yyyy-MM-dd HH:mm:ss UTC".
std::string valueText(const Value& value);

}  // namespace kivo::asn1
