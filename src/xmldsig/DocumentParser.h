#pragma once

// Turns document text into a libxml2 tree the way signing needs it: every whitespace text node
// kept, internal entities expanded, no validation, and nothing ever loaded from outside (an
// external entity or parameter entity makes the document invalid instead).

#include <string_view>

#include "xmldsig/LibxmlResources.h"

namespace kivo::xmldsig {

// Parses UTF-8 `text` (an encoding named in its XML declaration is ignored: the text is already
// decoded). On failure writes the ERROR log line "Invalid XML input: <description>" and throws
// SigningError 104 with that message; the description is libxml2's text for the first fatal
// error followed by its line, e.g. "Start tag expected, '<' not found (line 1)".
DocumentHandle parseXmlDocument(std::string_view text);

}  // namespace kivo::xmldsig
