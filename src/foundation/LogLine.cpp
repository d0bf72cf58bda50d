#include "foundation/LogLine.h"

namespace kivo::foundation {
namespace {

struct Character {
    char32_t value;
    std::size_t length;  // 0: the byte at hand does not start a well-formed UTF-8 sequence
};

bool isContinuation(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

// Strict UTF-8: no overlong forms, no surrogates, nothing past U+10FFFF.
Character decodeAt(std::string_view text, std::size_t at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    if (lead < 0x80) {
        return {lead, 1};
    }
    std::size_t length = 0;
    char32_t value = 0;
    char32_t smallest = 0;
    if ((lead & 0xE0) == 0xC0) {
        length = 2;
        value = lead & 0x1F;
        smallest = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        value = lead & 0x0F;
        smallest = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        value = lead & 0x07;
        smallest = 0x10000;
    } else {
        return {0, 0};
    }
    if (text.size() - at < length) {
        return {0, 0};
    }
    for (std::size_t i = 1; i < length; ++i) {
        const auto byte = static_cast<unsigned char>(text[at + i]);
        if (!isContinuation(byte)) {
            return {0, 0};
        }
        value = (value << 6) | (byte & 0x3F);
    }
    if (value < smallest || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        return {0, 0};
    }
    return {value, length};
}

// `prefix` and `digits` lower-case hex digits of `value`: \x1b, \u2028.
std::string hexEscape(std::string_view prefix, unsigned value, int digits) {
    static constexpr std::string_view hex = "0123456789abcdef";
    std::string text(prefix);
    for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) {
        text += hex[(value >> shift) & 0xF];
    }
    return text;
}

// The escape for one character, or none when it is written as it is.
std::string escapeFor(Character character, unsigned char firstByte) {
    if (character.length == 0) {
        return hexEscape("\\x", firstByte, 2);
    }
    switch (character.value) {
        case U'\\':
            return "\\\\";
        case U'\n':
            return "\\n";
        case U'\r':
            return "\\r";
        case U'\t':
            return "\\t";
        default:
            break;
    }
    if (character.value < 0x20 || character.value == 0x7F) {
        return hexEscape("\\x", static_cast<unsigned>(character.value), 2);
    }
    if ((character.value >= 0x80 && character.value <= 0x9F) || character.value == 0x2028 ||
        character.value == 0x2029) {
        return hexEscape("\\u", static_cast<unsigned>(character.value), 4);
    }
    return {};
}

}  // namespace

std::size_t appendEscaped(std::string& line, std::string_view message, std::size_t limit) {
    std::size_t written = 0;
    std::size_t at = 0;
    while (at < message.size()) {
        const Character character = decodeAt(message, at);
        const std::string escape = escapeFor(character, static_cast<unsigned char>(message[at]));
        const std::size_t consumed = character.length == 0 ? 1 : character.length;
        const std::size_t size = escape.empty() ? consumed : escape.size();
        if (written + size > limit) {
            break;
        }
        if (escape.empty()) {
            line.append(message.substr(at, consumed));
        } else {
            line += escape;
        }
        written += size;
        at += consumed;
    }
    return message.size() - at;
}

}  // namespace kivo::foundation
