#include "asn1/Pem.h"

#include <string>

#include "asn1/TextDecoding.h"

namespace kivo::asn1 {

namespace {

constexpr std::string_view newlineCharacters = "\n\v\f\r";

std::optional<std::uint8_t> base64Digit(char c) {
    if (c >= 'A' && c <= 'Z') {
        return static_cast<std::uint8_t>(c - 'A');
    }
    if (c >= 'a' && c <= 'z') {
        return static_cast<std::uint8_t>(c - 'a' + 26);
    }
    if (c >= '0' && c <= '9') {
        return static_cast<std::uint8_t>(c - '0' + 52);
    }
    if (c == '+') {
        return 62;
    }
    if (c == '/') {
        return 63;
    }
    return std::nullopt;
}

std::string pemBody(std::string_view text) {
    std::string body;
    bool inside = false;
    while (!text.empty()) {
        const std::size_t end = text.find_first_of(newlineCharacters);
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (inside && line != pemEndLine) {
            body += line;
        } else {
            inside = line == pemBeginLine;
        }
    }
    return body;
}

}  // namespace

std::optional<Bytes> base64Decode(std::string_view text) {
    if (text.size() % 4 != 0) {
        return std::nullopt;
    }
    std::size_t padding = 0;
    while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=') {
        ++padding;
    }
    const std::string_view digits = text.substr(0, text.size() - padding);
    Bytes bytes;
    bytes.reserve(digits.size() / 4 * 3 + 2);
    std::uint32_t buffer = 0;
    int bits = 0;
    for (const char c : digits) {
        const auto digit = base64Digit(c);
        if (!digit) {
            return std::nullopt;
        }
        buffer = (buffer << 6) | *digit;
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            bytes.push_back(static_cast<std::uint8_t>(buffer >> bits));
            buffer &= (1u << bits) - 1;
        }
    }
    return bytes;
}

std::optional<Bytes> pemToDer(std::span<const std::uint8_t> pem) {
    const auto text = decodeAscii(pem);
    if (!text || text->find(pemBeginLine) == std::string::npos) {
        return std::nullopt;
    }
    return base64Decode(pemBody(*text));
}

}  // namespace kivo::asn1
