#include "foundation/LogLine.h"

#include "foundation/Utf8.h"

namespace kivo::foundation {
namespace {

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
std::string escapeFor(CodePoint character, unsigned char firstByte) {
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
        character.value == 0x2029 || isFormatCharacter(character.value)) {
        return hexEscape("\\u", static_cast<unsigned>(character.value), 4);
    }
    return {};
}

}  // namespace

std::size_t appendEscaped(std::string& line, std::string_view message, std::size_t limit) {
    std::size_t written = 0;
    std::size_t at = 0;
    while (at < message.size()) {
        const CodePoint character = decodeUtf8At(message, at);
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
