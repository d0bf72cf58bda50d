#include "asn1/TextDecoding.h"

#include "foundation/Utf8.h"

namespace kivo::asn1 {

namespace {

void appendUtf8(std::string& text, std::uint32_t codePoint) {
    if (codePoint < 0x80) {
        text.push_back(static_cast<char>(codePoint));
    } else if (codePoint < 0x800) {
        text.push_back(static_cast<char>(0xC0 | (codePoint >> 6)));
        text.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    } else if (codePoint < 0x10000) {
        text.push_back(static_cast<char>(0xE0 | (codePoint >> 12)));
        text.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
        text.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    } else {
        text.push_back(static_cast<char>(0xF0 | (codePoint >> 18)));
        text.push_back(static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F)));
        text.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
        text.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    }
}

}  // namespace

std::optional<std::string> decodeUtf8(std::span<const std::uint8_t> octets) {
    std::string text(octets.begin(), octets.end());
    if (!foundation::isValidUtf8(text)) {
        return std::nullopt;
    }
    return text;
}

std::optional<std::string> decodeAscii(std::span<const std::uint8_t> octets) {
    for (const std::uint8_t octet : octets) {
        if (octet > 0x7F) {
            return std::nullopt;
        }
    }
    return std::string(octets.begin(), octets.end());
}

std::optional<std::string> decodeUtf16BigEndian(std::span<const std::uint8_t> octets) {
    if (octets.size() % 2 != 0) {
        return std::nullopt;
    }
    std::string text;
    for (std::size_t index = 0; index < octets.size(); index += 2) {
        const std::uint32_t unit = (std::uint32_t{octets[index]} << 8) | octets[index + 1];
        if (unit >= 0xDC00 && unit <= 0xDFFF) {
            return std::nullopt;  // a low surrogate without its high half
        }
        if (unit < 0xD800 || unit > 0xDBFF) {
            appendUtf8(text, unit);
            continue;
        }
        if (index + 3 >= octets.size()) {
            return std::nullopt;  // a high surrogate at the end
        }
        const std::uint32_t low = (std::uint32_t{octets[index + 2]} << 8) | octets[index + 3];
        if (low < 0xDC00 || low > 0xDFFF) {
            return std::nullopt;
        }
        appendUtf8(text, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
        index += 2;
    }
    return text;
}

}  // namespace kivo::asn1
