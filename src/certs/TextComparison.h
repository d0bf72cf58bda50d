#pragma once

// Unicode-aware equality for the texts a signer's details are matched with. Two texts are equal
// when they are canonically equivalent (both brought to NFC); case-insensitive equality first
// applies the locale-independent default lower-case mapping to both sides. Bytes that are not
// well-formed UTF-8 are never normalised: such a text equals only a byte-identical text.

#include <string_view>

namespace kivo::certs {

// True when `left` and `right` are canonically equivalent, or byte-identical.
bool canonicallyEqual(std::string_view left, std::string_view right);

// True when the default lower-case mappings of both sides are canonically equivalent, or when
// the two are byte-identical.
bool equalIgnoringCase(std::string_view left, std::string_view right);

}  // namespace kivo::certs
