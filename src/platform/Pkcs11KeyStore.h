#pragma once

// The key stores of a Linux desktop, all reached over PKCS#11. The system key store is the
// user's NSS databases (~/.pki/nssdb, then the Firefox profiles), opened read-only as slots of
// NSS's softoken. The smart-card tokens are those of the modules registered with p11-kit
// (trust-policy modules and blank tokens left out), then those of the vendor modules
// registered in the NSS databases' pkcs11.txt; a library file is loaded once however many
// places register it. A module named by a database that a sandboxed browser keeps is never
// loaded, nor a library file that anyone but root or the user could have placed
// (ModuleFileTrust.h). Modules are loaded on first need and finalized when the store and every
// key reference it handed out are gone.

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "foundation/KeyStore.h"
#include "platform/NssModuleList.h"
#include "platform/PinEntry.h"
#include "platform/Pkcs11Module.h"
#include "platform/Pkcs11Token.h"
#include "platform/UserNssDatabases.h"

namespace kivo::platform {

struct KeyStoreOptions {
    // The NSS databases in search order; empty: no system identities.
    std::vector<NssDatabaseLocation> nssDatabases;
    // The pinentry program, a path or a name on $PATH; absent: "pinentry".
    std::optional<std::string> pinEntryProgram;
    // NSS's softoken library; absent: libsoftokn3.so where the dynamic linker finds it.
    std::optional<std::filesystem::path> nssModule;
    // Folders that sandboxed applications can write: no module in them is loaded.
    std::vector<std::filesystem::path> sandboxFolders;
    // The descriptors of the browser's channel: a dialog is withdrawn when it hangs up.
    std::vector<int> browserChannel;
};

// The databases userNssDatabases finds under $HOME (none when HOME is unset or empty), the
// sandbox folders under it, and $KIVO_PINENTRY when set and not empty.
KeyStoreOptions defaultKeyStoreOptions();

class Pkcs11KeyStore final : public foundation::KeyStore {
  public:
    explicit Pkcs11KeyStore(KeyStoreOptions options);

    // The NSS databases' identities, in database order; -25300 (errSecItemNotFound) when there
    // is none. A database that cannot be opened is logged and skipped.
    foundation::IdentityQueryResult querySystemIdentities() override;
    // PKCS#11 URIs of the initialized tokens present now, read once per store.
    std::vector<std::string> tokenIds() override;
    // -25291 (errSecNotAvailable) for an identifier that tokenIds did not list.
    foundation::IdentityQueryResult queryTokenIdentities(const std::string& tokenId) override;

  private:
    std::optional<std::filesystem::path> nssModulePath() const;
    void loadNssTokens();
    void loadSmartCardTokens();
    void addTokensOf(const std::shared_ptr<Pkcs11Module>& module);
    // The library a database's pkcs11.txt names, links resolved, when it may be loaded.
    std::optional<std::filesystem::path> trustedLibrary(const RegisteredNssModule& registered,
                                                        const NssDatabaseLocation& database) const;

    KeyStoreOptions options_;
    std::shared_ptr<const PinEntry> pinEntry_;
    std::optional<std::vector<std::shared_ptr<Pkcs11Token>>> nssTokens_;
    std::optional<foundation::KeyStoreStatus> nssFailure_;
    std::optional<std::vector<std::shared_ptr<Pkcs11Token>>> smartCardTokens_;
};

}  // namespace kivo::platform
