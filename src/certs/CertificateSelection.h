#pragma once

// Choosing the certificate that signs for a signer. Every identity the key stores hold is tested
// against the signer's name, e-mail, ABN and accepted authority key identifiers; the survivors are
// ranked by the signer's order of identifiers and then by the latest expiry, and the winner's
// validity period and issuer are checked before it is handed out with its private key.

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "asn1/X509Certificate.h"
#include "certs/CertificateSources.h"
#include "certs/UserDetails.h"
#include "foundation/PrivateKey.h"
#include "foundation/SigningError.h"

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

// What the selection made of one identity: chosen, or why it was passed over. The candidate
// test's reasons come first, in the order it tests them; the ranking's after them.
enum class IdentityVerdict {
    chosen,
    nameDiffers,        // no subject CN, or not the signer's name
    noSigningKeyUsage,  // a key usage without digitalSignature
    emailDiffers,       // no subject e-mail, or not the signer's
    abnDiffers,         // no ABN, or not the signer's
    akiNotListed,  // its authority key identifier is not in the AKI list (or the list is empty)
    lowerAkiPreference,  // the chosen one carries an AKI that comes earlier in the list
    earlierExpiry,  // same AKI as the chosen one, which expires later (or as late, found first)
};

// What keeps the chosen certificate from signing, as a sign request would find it.
enum class ChosenProblem { notRsa, expired, notYetValid, noIssuerCn };

struct ExaminedIdentity {
    std::shared_ptr<const asn1::X509Certificate> parsedCertificate;
    std::string storeName;
    IdentityVerdict verdict;
};

// One selection, as the sign request runs it, with a verdict for every identity of the stores.
struct SelectionOutcome {
    // Every identity examined, in search order; none when the request lacked a field.
    std::vector<ExaminedIdentity> identities;
    // Everything wrong with the chosen identity (in the order above); empty when none was chosen.
    std::vector<ChosenProblem> chosenProblems;
    // The chosen identity, when the selection accepted it.
    std::optional<CertificateSelection> selection;
    // What findSigningCertificate throws instead.
    std::optional<foundation::SigningError> failure;
};

// Finds the signing certificate for `userDetails` among the identities of `store` (tokens
// filtered by `tokenClassId`) and checks it against `now`. Failures, each a SigningError: 101
// when name, email, ABN or the AKI list is missing (checked in that order, before any store is
// asked), 102 "Certificate not found", 107 "Signing certificate has expired" (also when not yet
// valid), 105 "Signing certificate does not include Issuer CN". Logs the search at INFO level and
// the winner's details at DEBUG level.
//
// Among candidates carrying the same authority key identifier the latest notAfter wins and the
// earliest found wins a tie; a candidate whose notAfter cannot be read ranks below any with one.
SelectionOutcome selectSigningCertificate(const UserDetails& userDetails, KeyStore& store,
                                          std::string_view tokenClassId, asn1::TimePoint now);

// The selection's certificate; throws its failure.
CertificateSelection findSigningCertificate(const UserDetails& userDetails, KeyStore& store,
                                            std::string_view tokenClassId, asn1::TimePoint now);

// The candidate test: true when the certificate may sign and its subject CN equals the name
// (case-sensitive), its subject e-mail equals the e-mail ignoring case, its ABN extension equals
// the ABN, and, unless the AKI list is empty, its authority key identifier (as lower-case hex)
// equals one of the list's entries ignoring case. Texts compare under canonical equivalence; a
// field missing from `userDetails` never matches. Writes the per-certificate DEBUG lines.
bool isCandidate(const asn1::X509Certificate& parsedCertificate, const UserDetails& userDetails);

// What the candidate test reads from a certificate.
struct IdentityFacts {
    std::optional<std::string> commonName;
    std::optional<std::string> email;
    std::optional<std::string> abn;
    // The authority key identifier as lower-case hex.
    std::optional<std::string> akiText;
    // No key-usage extension, or one with digitalSignature.
    bool isSigningCert = false;
};
IdentityFacts identityFacts(const asn1::X509Certificate& certificate);

}  // namespace kivo::certs
