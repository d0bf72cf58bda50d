#pragma once

// Reads back an enveloped signature of a signed document: whether its reference digest still
// matches the signed element, and what its signature value covers. Checking the signature value
// against a key is the caller's part.

#include <libxml/tree.h>

#include <string>
#include <string_view>

#include "foundation/Bytes.h"
#include "foundation/Digests.h"

namespace kivo::xmldsig {

struct EnvelopedSignature {
    // The digest of the signed element without the signature equals the reference's DigestValue.
    bool digestMatches = false;
    // Canonical SignedInfo: the bytes the signature value signs.
    std::string signedInfoText;
    foundation::Bytes signatureValue;
    // The digest of the signature method (RSA PKCS#1 v1.5 with it).
    foundation::DigestAlgorithm digest = foundation::DigestAlgorithm::sha256;
};

// The last Signature child of the element `signingFilter` selects. Throws SigningError 103 when
// there is none, a part is missing or not Base64, or it names methods this host never writes.
EnvelopedSignature readEnvelopedSignature(xmlDocPtr document, std::string_view signingFilter);

}  // namespace kivo::xmldsig
