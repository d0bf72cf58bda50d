#pragma once

// Reads signed documents back for assertions: parses the text afresh, as a verifier would.

#include <string>
#include <vector>

namespace kivo::testing {

// The string values of the nodes that `xpath` selects in `document`. The prefix "ds" names the
// XML-DSig namespace and "f2" the XPath Filter 2.0 namespace. Fails the test for unparsable
// input or a bad expression.
std::vector<std::string> valuesAt(const std::string& document, const std::string& xpath);

// valuesAt for an expression that must select exactly one node.
std::string valueAt(const std::string& document, const std::string& xpath);

}  // namespace kivo::testing
