#pragma once

// Parses time text against a date pattern in the Unicode date-pattern letters the certificate
// times need: y (year), M (month), d (day), H (hour 0-23), m (minute), s (second) and Z (zone).
// Numeric fields are abutting, so each takes exactly as many digits as its letter is repeated.
// A two-digit year means 1950-2049 (50-99 are 19xx, 00-49 are 20xx). The zone is "Z" (UTC) or a
// signed offset +HHMM / -HHMM. The whole text must match and every field must be in range.
// Every year the fields can spell (0000-9999) is held exactly.

#include <optional>
#include <string_view>

#include "asn1/ASN1Value.h"

namespace kivo::asn1 {

std::optional<TimePoint> parseDatePattern(std::string_view text, std::string_view pattern);

}  // namespace kivo::asn1
