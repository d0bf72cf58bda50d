#pragma once

// Signing filters name elements the way the document writes them: `//CounterpartData` must find
// <CounterpartData> whether or not a default namespace is in scope, which plain XPath 1.0 does
// not do. The expression is rewritten so that each unprefixed element name test compares the
// element's name as written instead; prefixed names, attribute and namespace name tests,
// functions, literals and everything else are left exactly as they are.

#include <string>
#include <string_view>

namespace kivo::xmldsig {

// Rewrites every unprefixed element name test `N` of an XPath 1.0 expression into
// `*[name()='N']`. Text that is not a valid expression is passed on as far as it goes, so the
// XPath engine still reports it.
std::string matchNamesAsWritten(std::string_view expression);

}  // namespace kivo::xmldsig
