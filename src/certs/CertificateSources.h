#pragma once

// Where signing identities come from: the user's system key store first, then every smart-card
// token whose identifier contains the deployment's token class id. The platform supplies the
// stores through `KeyStore`; this layer turns what they hold into parsed candidates and logs
// each failed query.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "asn1/X509Certificate.h"
#include "foundation/KeyStore.h"

namespace kivo::certs {

using foundation::KeyStore;
using foundation::PrivateKey;
using foundation::StoredCertificate;

// An identity that the candidate test accepted.
struct Candidate {
    std::shared_ptr<const asn1::X509Certificate> parsedCertificate;
    std::shared_ptr<StoredCertificate> certificate;
    std::shared_ptr<PrivateKey> privateKey;
    // The store's name for the place that holds it (StoredIdentity::storeName).
    std::string storeName;
};

using AcceptCandidate = std::function<bool(const asn1::X509Certificate&)>;
// Told of every identity the test judged, right after `accept` returned for it.
using ExaminedCandidate = std::function<void(const Candidate& identity, bool accepted)>;

// Runs every source in order and returns the accepted candidates in the order found. A
// certificate that several stores hold is a candidate once, from the first of them.
std::vector<Candidate> collectCandidates(KeyStore& store, const AcceptCandidate& accept,
                                         std::string_view tokenClassId,
                                         const ExaminedCandidate& examined = {});

}  // namespace kivo::certs
