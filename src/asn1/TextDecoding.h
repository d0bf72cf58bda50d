#pragma once

// Strict decoders from ASN.1 string contents to UTF-8 text. Each answers none when the octets
// are not valid in their encoding.

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace kivo::asn1 {

// Well-formed UTF-8 only: no overlong forms, no surrogates, nothing above U+10FFFF.
std::optional<std::string> decodeUtf8(std::span<const std::uint8_t> octets);

// Seven-bit ASCII; any octet above 0x7F fails.
std::optional<std::string> decodeAscii(std::span<const std::uint8_t> octets);

// UTF-16 big-endian (BMPString); an odd length or an unpaired surrogate fails.
std::optional<std::string> decodeUtf16BigEndian(std::span<const std::uint8_t> octets);

}  // namespace kivo::asn1
