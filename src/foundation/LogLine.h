#pragma once

// How a message becomes the text of one physical log line: text a request brought along can
// neither start a line of its own nor hide in control characters, and one line stays bounded.
// Backslash, line feed, carriage return and tab become \\, \n, \r and \t; other C0 controls, DEL
// and bytes that are not UTF-8 become \xHH; C1 controls, the line and paragraph separators
// (U+2028, U+2029) and the format characters that reorder or hide text (isFormatCharacter)
// become \uHHHH. Everything else is kept as it is.

#include <cstddef>
#include <string>
#include <string_view>

namespace kivo::foundation {

// Appends `message`, escaped, to `line`, but no more than `limit` bytes of escaped text; an
// escape or a character is never split. Returns how many bytes of `message` were left out.
std::size_t appendEscaped(std::string& line, std::string_view message, std::size_t limit);

}  // namespace kivo::foundation
