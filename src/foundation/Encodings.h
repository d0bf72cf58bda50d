#pragma once

// Text forms of byte sequences: hexadecimal (lower case unless asked), and Base64 in the standard
// alphabet with
// "=" fill, always on one line.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "foundation/Bytes.h"

namespace kivo::foundation {

enum class LetterCase { lower, upper };

// Two hexadecimal digits per byte, in byte order, no separators ("" for no bytes).
std::string hexEncode(std::span<const std::uint8_t> data, LetterCase letters = LetterCase::lower);

// Standard Base64 with "=" fill to a multiple of four characters; never a line break.
std::string base64Encode(std::span<const std::uint8_t> data);

// Appends to a string the Base64 form of bytes given in pieces: after finish(), exactly what
// base64Encode writes for the pieces joined. Lets a large text be encoded as it is produced,
// without ever holding it whole.
class Base64Writer {
  public:
    explicit Base64Writer(std::string& output) : output_(output) {}
    void write(std::span<const std::uint8_t> data);
    // Writes the last, filled group; call once, after the last write.
    void finish();

  private:
    void encodeGroups(std::span<const std::uint8_t> data);

    std::string& output_;
    std::array<std::uint8_t, 3> pending_{};
    std::size_t pendingSize_ = 0;
};

// Decodes Base64 as `base64Encode` writes it. Answers none for any character outside the
// standard alphabet (whitespace and line breaks included), a length that is not a multiple of
// four, or "=" anywhere but in the last two places. Unused low bits of the last group are
// ignored, as most encoders leave them zero anyway.
std::optional<Bytes> base64DecodeStrict(std::string_view text);

// True when every character is one of the Base64 alphabet or "=": such text needs no escaping
// in JSON. Says nothing about length or where the "=" stand.
bool holdsOnlyBase64Characters(std::string_view text);

}  // namespace kivo::foundation
