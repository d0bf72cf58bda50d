#pragma once

// The byte sequence every layer passes around, and a view of a text's bytes.

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace kivo::foundation {

using Bytes = std::vector<std::uint8_t>;

// The bytes of a text, without copying.
inline std::span<const std::uint8_t> byteView(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}  // namespace kivo::foundation
