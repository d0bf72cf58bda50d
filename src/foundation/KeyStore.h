#pragma once

// What the platform's key stores hold, as the certificate search sees them: identities (a
// certificate with its private-key reference) answered per query with a status.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "foundation/PrivateKey.h"

namespace kivo::foundation {

// One identity as a store reports it. A missing certificate or key reference makes the identity
// unusable; it is then skipped without a log line.
struct StoredIdentity {
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

}  // namespace kivo::foundation
