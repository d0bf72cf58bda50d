#pragma once

// Evaluates a signing filter: an XPath 1.0 expression that must select exactly one element of
// the document. An unprefixed element name test matches an element by its name as written,
// whether or not a default namespace is in scope (see WrittenNameTests.h); the rest is XPath 1.0.

#include <libxml/tree.h>

#include <string_view>

namespace kivo::xmldsig {

// Evaluates `signingFilter` with the document node as context node against the tree as it is
// now. Throws XPathError when the engine rejects the expression or it does not yield a node
// set, SigningError 103 "XPath signing filter '<filter>' returned <n> results (expecting 1)"
// when it selects other than one node, and SigningError 103 when the one node is not an
// element. A filter of exactly the form `//N` (N an unprefixed name, as the host's filters are)
// is answered by a walk over the tree that selects and counts what the engine would.
xmlNodePtr selectSignedElement(xmlDocPtr document, std::string_view signingFilter);

}  // namespace kivo::xmldsig
