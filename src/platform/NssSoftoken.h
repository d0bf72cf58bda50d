#pragma once

// The user's NSS databases, all opened read-only in one instance of NSS's softoken, one slot
// per database. The keys stay in the softoken: signing goes through C_Sign like any token.

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/KeyStoreInventory.h"
#include "platform/Pkcs11Token.h"
#include "platform/UserNssDatabases.h"

namespace kivo::platform {

struct OpenedNssDatabases {
    // One token per database that opened, in the order given.
    std::vector<std::shared_ptr<Pkcs11Token>> tokens;
    // The PKCS#11 result of the last database that failed to open, if any did.
    std::optional<CK_RV> lastFailure;
    // With an inventory: where each token's database is recorded in it, in token order.
    std::vector<std::size_t> tokenRecords;
};

// Loads the softoken at `softokenPath` and opens each database that holds a cert9.db. A
// database that fails to open is logged and skipped. Throws Pkcs11Error when the softoken
// itself cannot be loaded or initialized. `inventory`, when given, gets a record per database.
OpenedNssDatabases openNssDatabases(const std::filesystem::path& softokenPath,
                                    const std::vector<NssDatabaseLocation>& databases,
                                    KeyStoreInventory* inventory = nullptr);

// The softoken library's version ("3.87"), asked of a softoken loaded without any database;
// none when it cannot be loaded. Not while a key store holds the softoken.
std::optional<std::string> nssSoftokenVersion(const std::filesystem::path& softokenPath);

}  // namespace kivo::platform
