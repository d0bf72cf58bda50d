#pragma once

// The identities that a set of tokens holds, queried as one source. An identity is an X.509
// certificate object with a non-empty CKA_ID whose token holds a private key with the same
// CKA_ID, or may hold one because the token hides private objects until login.

#include <memory>
#include <vector>

#include "foundation/KeyStore.h"
#include "platform/PinEntry.h"
#include "platform/Pkcs11Token.h"

namespace kivo::platform {

// Status 0 with the identities in token and object order when there is at least one;
// otherwise -25300 (errSecItemNotFound), or the status of the last token that failed.
foundation::IdentityQueryResult queryIdentities(
    const std::vector<std::shared_ptr<Pkcs11Token>>& tokens,
    const std::shared_ptr<const PinEntry>& pinEntry);

}  // namespace kivo::platform
