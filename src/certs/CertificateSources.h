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
#include "certs/SignaturePrimitive.h"

namespace kivo::certs {

// One identity as a store reports it. A missing certificate or key reference makes the identity
// unusable; it is then skipped without a log line.
struct StoredIdentity {
    Bytes certificateDer;
    std::shared_ptr<StoredCertificate> certificate;
    std::shared_ptr<PrivateKey> privateKey;
};

// The answer to one identity query. `status` uses the codes of `securityStatusName`
// (0 on success, -25300 when the store holds no identity, ...).
struct IdentityQueryResult {
    std::int32_t status = security_status::success;
    std::vector<StoredIdentity> identities;
};

// The platform's key stores.
class KeyStore {
  public:
    virtual ~KeyStore() = default;
    virtual IdentityQueryResult querySystemIdentities() = 0;
    // Identifiers of the smart-card tokens present now, in platform order.
    virtual std::vector<std::string> tokenIds() = 0;
    virtual IdentityQueryResult queryTokenIdentities(const std::string& tokenId) = 0;
};

// An identity that the candidate test accepted.
struct Candidate {
    std::shared_ptr<const asn1::X509Certificate> parsedCertificate;
    std::shared_ptr<StoredCertificate> certificate;
    std::shared_ptr<PrivateKey> privateKey;
};

using AcceptCandidate = std::function<bool(const asn1::X509Certificate&)>;

// Runs every source in order and returns the accepted candidates in the order found. A
// certificate that several stores hold is a candidate once, from the first of them.
std::vector<Candidate> collectCandidates(KeyStore& store, const AcceptCandidate& accept,
                                         std::string_view tokenClassId);

}  // namespace kivo::certs
