#pragma once

// Byte-level helpers for the asn1 tests: hex literals and hand-made DER elements.

#include <cstdint>
#include <string>
#include <string_view>

#include "asn1/ASN1Value.h"
#include "support/TempDir.h"

namespace kivo::asn1::testing {

// "30 03 02 01 05" -> octets; spaces and colons are ignored.
inline Bytes hex(std::string_view text) {
    std::string digits(text);
    std::erase_if(digits, [](char c) { return c == ' ' || c == ':'; });
    Bytes bytes;
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2) {
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

inline Bytes ascii(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

// One DER element with a definite length in the shortest form.
inline Bytes tlv(std::uint8_t identifier, const Bytes& contents) {
    Bytes element{identifier};
    if (contents.size() < 0x80) {
        element.push_back(static_cast<std::uint8_t>(contents.size()));
    } else {
        Bytes length;
        for (std::size_t n = contents.size(); n > 0; n >>= 8) {
            length.insert(length.begin(), static_cast<std::uint8_t>(n & 0xFF));
        }
        element.push_back(static_cast<std::uint8_t>(0x80 | length.size()));
        element.insert(element.end(), length.begin(), length.end());
    }
    element.insert(element.end(), contents.begin(), contents.end());
    return element;
}

inline Bytes readBytes(const std::string& name) {
    return kivo::testing::readBytes(std::string(KIVO_TEST_DATA_DIR) + "/asn1/" + name);
}

}  // namespace kivo::asn1::testing
