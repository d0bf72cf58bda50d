#pragma once

// Reads signed documents back for assertions, parsing the text afresh as a verifier would.

#include <string>
#include <vector>

namespace kivo::testing {

// String values of the nodes `xpath` selects in `document`; prefix "ds" is the XML-DSig
// namespace, "f2" the XPath Filter 2.0 namespace.
std::vector<std::string> valuesAt(const std::string& document, const std::string& xpath);

}  // namespace kivo::testing
