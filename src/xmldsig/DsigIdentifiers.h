#pragma once

// The W3C identifiers written into every signature: namespaces and transform URIs. The
// signature and digest method URIs live with the algorithms they name (SignatureAlgorithmTable).

#include <string_view>

namespace kivo::xmldsig::identifiers {

inline constexpr std::string_view dsigNamespace = "http://www.w3.org/2000/09/xmldsig#";
inline constexpr std::string_view xpathFilter2 = "http://www.w3.org/2002/06/xmldsig-filter2";
// The signatures declare Canonical XML with comments although the canonicalizer drops them: a
// reference with URI="" gives its transforms the document without comment nodes, and SignedInfo,
// made here, holds none, so with or without comments yields the same bytes. The identifier is the
// one receivers of these signatures expect.
inline constexpr std::string_view c14nWithComments =
    "http://www.w3.org/TR/2001/REC-xml-c14n-20010315#WithComments";
inline constexpr std::string_view envelopedSignature =
    "http://www.w3.org/2000/09/xmldsig#enveloped-signature";

}  // namespace kivo::xmldsig::identifiers
