#pragma once

// PEM certificate text to DER octets.

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "asn1/ASN1Value.h"

namespace kivo::asn1 {

inline constexpr std::string_view pemBeginLine = "-----BEGIN CERTIFICATE-----";
inline constexpr std::string_view pemEndLine = "-----END CERTIFICATE-----";

// Joins the lines between every BEGIN line and the next END line and decodes them as Base64.
// None when the bytes are not ASCII, hold no BEGIN line, or the joined body is not Base64 (a
// BEGIN line met inside a body is part of that body and so makes it fail). Lines split at CR,
// LF, VT and FF, each on its own.
std::optional<Bytes> pemToDer(std::span<const std::uint8_t> pem);

}  // namespace kivo::asn1
