#pragma once

#include <string>
#include <string_view>

namespace kivo::foundation {

// True when `bytes` is well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool isValidUtf8(std::string_view bytes);

// `bytes` as the log shows received or sent text: themselves when valid UTF-8, otherwise
// "<not a string>".
std::string loggableText(std::string_view bytes);

}  // namespace kivo::foundation
