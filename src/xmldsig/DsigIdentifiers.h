#pragma once

// The W3C identifiers written into signatures: namespaces and algorithm URIs.

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

inline constexpr std::string_view rsaSha1 = "http://www.w3.org/2000/09/xmldsig#rsa-sha1";
inline constexpr std::string_view rsaSha256 = "http://www.w3.org/2001/04/xmldsig-more#rsa-sha256";
inline constexpr std::string_view rsaSha512 = "http://www.w3.org/2001/04/xmldsig-more#rsa-sha512";
inline constexpr std::string_view sha1 = "http://www.w3.org/2000/09/xmldsig#sha1";
inline constexpr std::string_view sha256 = "http://www.w3.org/2001/04/xmlenc#sha256";
inline constexpr std::string_view sha512 = "http://www.w3.org/2001/04/xmlenc#sha512";

}  // namespace kivo::xmldsig::identifiers
