#include "foundation/Utf8.h"

#include <cstdint>
#include <cstring>

namespace kivo::foundation {

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
        const auto lead = static_cast<std::uint8_t>(bytes[i]);
        if (lead < 0x80) {
            ++i;
            continue;
        }
        std::size_t length = 0;
        std::uint32_t minimum = 0;
        std::uint32_t value = 0;
        if ((lead & 0xE0) == 0xC0) {
            length = 2, minimum = 0x80, value = lead & 0x1Fu;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3, minimum = 0x800, value = lead & 0x0Fu;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4, minimum = 0x10000, value = lead & 0x07u;
        } else {
            return false;
        }
        if (n - i < length) {
            return false;
        }
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<std::uint8_t>(bytes[i + k]);
            if ((next & 0xC0) != 0x80) {
                return false;
            }
            value = (value << 6) | (next & 0x3Fu);
        }
        if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
            return false;
        }
        i += length;
    }
    return true;
}

std::string loggableText(std::string_view bytes) {
    return isValidUtf8(bytes) ? std::string(bytes) : std::string("<not a string>");
}

}  // namespace kivo::foundation
