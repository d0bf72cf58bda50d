#pragma once

// What the platform's key stores hold, as the certificate search sees them: identities (a
// certificate with its private-key reference) answered per query with a status.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "foundation/PrivateKey.h"

namespace kivo::foundation {

// How an identity query ended, with the codes the log has always named (for example -25300
// "errSecItemNotFound"). A store whose own failure has no name here passes its code through.
enum class KeyStoreStatus : std::int32_t {
    success = 0,
    unimplemented = -4,
    param = -50,
    userCanceled = -128,
    badReq = -909,
    notAvailable = -25291,
    authFailed = -25293,
    duplicateItem = -25299,
    itemNotFound = -25300,
    interactionNotAllowed = -25308,
    decode = -26275,
    verifyFailed = -67808,
};

// The status as the log shows it: "errSecItemNotFound", ...; codes without a name give
// "Unknown code (<code>)".
std::string keyStoreStatusName(KeyStoreStatus status);

// One identity as a store reports it. A missing certificate or key reference makes the identity
// unusable; it is then skipped without a log line.
struct StoredIdentity {
    std::shared_ptr<StoredCertificate> certificate;
    std::shared_ptr<PrivateKey> privateKey;
    // Where it is kept, as the user knows the place: a token's label, an NSS database's name.
    std::string storeName;
};

// The answer to one identity query: `itemNotFound` when the store holds no identity.
struct IdentityQueryResult {
    KeyStoreStatus status = KeyStoreStatus::success;
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
