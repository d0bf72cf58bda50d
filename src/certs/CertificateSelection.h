#pragma once

// Choosing the certificate that signs for a signer. Every identity the key stores hold is tested
// against the signer's name, e-mail, ABN and accepted authority key identifiers; the survivors are
// ranked by the signer's order of identifiers and then by the latest expiry, and the winner's
// validity period and issuer are checked before it is handed out with its private key.

#include <memory>
#include <string>
#include <string_view>

#include "asn1/X509Certificate.h"
#include "certs/CertificateSources.h"
#include "certs/UserDetails.h"
#include "foundation/PrivateKey.h"

namespace kivo::certs {

using foundation::KeyStore;
using foundation::PrivateKey;
using foundation::StoredCertificate;

// The chosen identity and the display values the responses carry.
struct CertificateSelection {
    std::shared_ptr<StoredCertificate> certificate;
    std::shared_ptr<const asn1::X509Certificate> parsedCertificate;
    // Serial number octets as lower-case hex (empty when the certificate has no readable serial).
    std::string serial;
    // notAfter as foundation::formatTimestamp writes it.
    std::string expiry;
    // The issuer's common name.
    std::string issuer;
    std::shared_ptr<PrivateKey> privateKey;
};

// Finds the signing certificate for `userDetails` among the identities of `store` (tokens
// filtered by `tokenClassId`) and checks it against `now`. Throws foundation::SigningError:
// 101 when name, email, ABN or the AKI list is missing (checked in that order), 102 "Certificate
// not found", 107 "Signing certificate has expired" (also when not yet valid), 105 "Signing
// certificate does not include Issuer CN". Logs the search at INFO level and the winner's details
// at DEBUG level.
//
// Among candidates carrying the same authority key identifier the latest notAfter wins and the
// earliest found wins a tie; a candidate whose notAfter cannot be read ranks below any with one.
CertificateSelection findSigningCertificate(const UserDetails& userDetails, KeyStore& store,
                                            std::string_view tokenClassId, asn1::TimePoint now);

// The candidate test: true when the certificate may sign and its subject CN equals the name
// (case-sensitive), its subject e-mail equals the e-mail ignoring case, its ABN extension equals
// the ABN, and, unless the AKI list is empty, its authority key identifier (as lower-case hex)
// equals one of the list's entries ignoring case. Texts compare under canonical equivalence; a
// field missing from `userDetails` never matches. Writes the per-certificate DEBUG lines.
bool isCandidate(const asn1::X509Certificate& parsedCertificate, const UserDetails& userDetails);

}  // namespace kivo::certs
