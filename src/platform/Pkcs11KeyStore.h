#pragma once

// The key stores of a Linux desktop, all reached over PKCS#11: the system key store is the
// user's shared NSS database, opened read-only through NSS's softoken module; the smart-card
// tokens are those of the modules registered with p11-kit (trust-policy modules and blank
// tokens left out). Modules are loaded on first need and finalized when the store and every
// key reference it handed out are gone.

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "foundation/KeyStore.h"
#include "platform/PinEntry.h"
#include "platform/Pkcs11Module.h"
#include "platform/Pkcs11Token.h"

namespace kivo::platform {

struct KeyStoreOptions {
    // The NSS database folder; absent: none (no system identities).
    std::optional<std::filesystem::path> nssDatabaseDir;
    // The pinentry program, a path or a name on $PATH; absent: "pinentry".
    std::optional<std::string> pinEntryProgram;
    // NSS's softoken library; absent: libsoftokn3.so where the dynamic linker finds it.
    std::optional<std::filesystem::path> nssModule;
};

// $HOME/.pki/nssdb (none when HOME is unset or empty) and $KIVO_PINENTRY when set and not
// empty.
KeyStoreOptions defaultKeyStoreOptions();

class Pkcs11KeyStore final : public foundation::KeyStore {
  public:
    explicit Pkcs11KeyStore(KeyStoreOptions options);

    // The NSS database's identities; -25300 (errSecItemNotFound) when there is no database.
    foundation::IdentityQueryResult querySystemIdentities() override;
    // PKCS#11 URIs of the initialized tokens present now, read once per store.
    std::vector<std::string> tokenIds() override;
    // -25291 (errSecNotAvailable) for an identifier that tokenIds did not list.
    foundation::IdentityQueryResult queryTokenIdentities(const std::string& tokenId) override;

  private:
    std::optional<std::filesystem::path> nssModulePath() const;
    void loadNssTokens();
    void loadSmartCardTokens();

    KeyStoreOptions options_;
    std::shared_ptr<const PinEntry> pinEntry_;
    std::optional<std::vector<std::shared_ptr<Pkcs11Token>>> nssTokens_;
    std::optional<std::int32_t> nssFailure_;
    std::optional<std::vector<std::shared_ptr<Pkcs11Token>>> smartCardTokens_;
};

// The initialization text that opens the NSS database in `directory` read-only.
std::string nssInitializationText(const std::filesystem::path& directory);

}  // namespace kivo::platform
