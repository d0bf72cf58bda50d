#pragma once

// Canonical XML 1.0 without comments, of a whole document or of one element's subtree taken as
// a document subset (the namespace declarations and xml: attributes in scope are rendered on
// the subtree's top element). Output is streamed to a sink in pieces, so a large document is
// never held twice.

#include <libxml/tree.h>

#include <cstdint>
#include <functional>
#include <span>
#include <string>

namespace kivo::xmldsig {

using CanonicalSink = std::function<void(std::span<const std::uint8_t>)>;

// Canonical form of `top` and its descendants, leaving out `excluded` (when not null) with its
// attributes and descendants; whitespace text around `excluded` stays. This is the node set that
// an enveloped-signature reference to `top` selects when `excluded` is the Signature element.
// Throws SigningError 104 "Invalid XML input: <libxml2's description>", after an ERROR log line
// with that message, when libxml2 cannot canonicalize the tree; an exception thrown by `sink`
// passes through.
void canonicalizeSubtree(xmlNodePtr top, xmlNodePtr excluded, const CanonicalSink& sink);

std::string canonicalSubtreeText(xmlNodePtr top);

// Canonical form of the whole document: no XML declaration, no document type declaration, no
// comments. Errors as for canonicalizeSubtree.
void canonicalizeDocument(xmlDocPtr document, const CanonicalSink& sink);

std::string canonicalDocumentText(xmlDocPtr document);

}  // namespace kivo::xmldsig
