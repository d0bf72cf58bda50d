#pragma once

#include <string_view>

namespace kivo::foundation {

// True when `bytes` is well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool isValidUtf8(std::string_view bytes);

}  // namespace kivo::foundation
