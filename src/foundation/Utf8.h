#pragma once

// UTF-8 as the host reads it: strictly (no overlong forms, surrogates or values past U+10FFFF),
// one code point at a time through one decoder.

#include <cstddef>
#include <string>
#include <string_view>

namespace kivo::foundation {

struct CodePoint {
    char32_t value;
    std::size_t length;  // 0: the byte at hand does not start a well-formed sequence
};

// The code point that starts at byte `at` of `text` (at < text.size()).
CodePoint decodeUtf8At(std::string_view text, std::size_t at);

// True when `bytes` is well-formed UTF-8.
bool isValidUtf8(std::string_view bytes);

// Unicode format characters that change how the text around them is shown without being seen
// themselves: the bidirectional controls (U+061C, U+200E, U+200F, U+202A to U+202E, U+2066 to
// U+2069) and invisible ones (U+200B to U+200D, U+2060 to U+2065, U+FEFF).
bool isFormatCharacter(char32_t c);

// `bytes` as the log shows received or sent text: themselves when valid UTF-8, otherwise
// "<not a string>".
std::string loggableText(std::string_view bytes);

}  // namespace kivo::foundation
