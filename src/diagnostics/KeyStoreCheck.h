#pragma once

// The Key stores section, from what the key store recorded while the identities were searched:
// every NSS database, every PKCS#11 module with where it is registered, every token.

#include <optional>
#include <string>
#include <vector>

#include "diagnostics/Report.h"
#include "platform/KeyStoreInventory.h"

namespace kivo::diagnostics {

// `tokenClassId`: the text a token's URI must hold to be searched. `signingStore`: the store of
// the identity a sign request would use, when a signer was named and the selection chose one; a
// locked token blocks signing unless the signer's identity is elsewhere.
void checkKeyStores(const platform::KeyStoreInventory& inventory, const std::string& tokenClassId,
                    const std::optional<std::string>& signingStore, Section& section,
                    std::vector<Blocker>& blockers);

}  // namespace kivo::diagnostics
