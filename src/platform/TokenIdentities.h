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

// How the query went on one token.
struct TokenSearch {
    std::size_t identities = 0;
    // The token hides private objects until login, so every certificate with an ID counted.
    bool keysHidden = false;
    bool failed = false;
};

// Status 0 with the identities in token and object order when there is at least one;
// otherwise -25300 (errSecItemNotFound), or the status of the last token that failed. Each
// identity carries its token's label as the store's name. `searches`, when given, receives one
// entry per token, in token order.
foundation::IdentityQueryResult queryIdentities(
    const std::vector<std::shared_ptr<Pkcs11Token>>& tokens,
    const std::shared_ptr<const PinEntry>& pinEntry, std::vector<TokenSearch>* searches = nullptr);

}  // namespace kivo::platform
