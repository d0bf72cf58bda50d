#include "asn1/TextDecoding.h"

namespace kivo::asn1 {

namespace {

bool isContinuation(std::uint8_t octet) {
    return (octet & 0xC0) == 0x80;
}

// Length of the UTF-8 sequence starting at `index`, 0 when it is not well formed.
std::size_t utf8SequenceLength(std::span<const std::uint8_t> octets, std::size_t index) {
    const std::uint8_t lead = octets[index];
    std::size_t length = 0;
    std::uint32_t codePoint = 0;
    if (lead < 0x80) {
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        codePoint = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        codePoint = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        codePoint = lead & 0x07;
    } else {
        return 0;
    }
    if (octets.size() - index < length) {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if (!isContinuation(octets[index + i])) {
            return 0;
        }
        codePoint = (codePoint << 6) | (octets[index + i] & 0x3F);
    }
    const bool overlong =
        (length == 3 && codePoint < 0x800) || (length == 4 && codePoint < 0x10000);
    const bool surrogate = codePoint >= 0xD800 && codePoint <= 0xDFFF;
    if (overlong || surrogate || codePoint > 0x10FFFF) {
        return 0;
    }
    return length;
}

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
    for (std::size_t index = 0; index < octets.size();) {
        const std::size_t length = utf8SequenceLength(octets, index);
        if (length == 0) {
            return std::nullopt;
        }
        index += length;
    }
    return std::string(octets.begin(), octets.end());
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
