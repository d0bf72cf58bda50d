#include "foundation/Utf8.h"

#include <cstdint>
#include <cstring>

namespace kivo::foundation {

CodePoint decodeUtf8At(std::string_view text, std::size_t at) {
    const auto lead = static_cast<std::uint8_t>(text[at]);
    if (lead < 0x80) {
        return {lead, 1};
    }
    std::size_t length = 0;
    char32_t smallest = 0;
    char32_t value = 0;
    if ((lead & 0xE0) == 0xC0) {
        length = 2, smallest = 0x80, value = lead & 0x1Fu;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, smallest = 0x800, value = lead & 0x0Fu;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, smallest = 0x10000, value = lead & 0x07u;
    } else {
        return {0, 0};
    }
    if (text.size() - at < length) {
        return {0, 0};
    }
    for (std::size_t i = 1; i < length; ++i) {
        const auto next = static_cast<std::uint8_t>(text[at + i]);
        if ((next & 0xC0) != 0x80) {
            return {0, 0};
        }
        value = (value << 6) | (next & 0x3Fu);
    }
    if (value < smallest || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        return {0, 0};
    }
    return {value, length};
}

bool isValidUtf8(std::string_view bytes) {
    std::size_t i = 0;
    const std::size_t n = bytes.size();
    while (i < n) {
        // Runs of ASCII (most of a document) are passed eight bytes at a time.
        std::uint64_t eight = 0;
        if (n - i >= sizeof eight) {
            std::memcpy(&eight, bytes.data() + i, sizeof eight);
            if ((eight & 0x8080808080808080u) == 0) {
                i += sizeof eight;
                continue;
            }
        }
        const std::size_t length = decodeUtf8At(bytes, i).length;
        if (length == 0) {
            return false;
        }
        i += length;
    }
    return true;
}

bool isFormatCharacter(char32_t c) {
    return c == 0x061C || (c >= 0x200B && c <= 0x200F) || (c >= 0x202A && c <= 0x202E) ||
           (c >= 0x2060 && c <= 0x2069) || c == 0xFEFF;
}

std::string loggableText(std::string_view bytes) {
    return isValidUtf8(bytes) ? std::string(bytes) : std::string("<not a string>");
}

}  // namespace kivo::foundation
