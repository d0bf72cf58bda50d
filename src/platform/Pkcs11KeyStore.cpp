#include "platform/Pkcs11KeyStore.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <set>
#include <utility>

#include "foundation/Log.h"
#include "platform/ModuleFileTrust.h"
#include "platform/NssSoftoken.h"
#include "platform/Pkcs11Result.h"
#include "platform/TokenIdentities.h"

namespace kivo::platform {
namespace {

using foundation::LogLevel;
using status = foundation::KeyStoreStatus;

std::optional<std::string> nonEmptyEnvironment(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') {
        return std::nullopt;
    }
    return std::string(value);
}

TokenRecord tokenRecord(const CK_TOKEN_INFO& info, const std::string& library) {
    const auto text = [](const auto& field) { return paddedText(field, sizeof field); };
    return {library,
            tokenUri(info),
            text(info.label),
            text(info.manufacturerID),
            text(info.model),
            text(info.serialNumber),
            (info.flags & CKF_LOGIN_REQUIRED) != 0,
            (info.flags & CKF_PROTECTED_AUTHENTICATION_PATH) != 0,
            (info.flags & CKF_USER_PIN_COUNT_LOW) != 0,
            (info.flags & CKF_USER_PIN_FINAL_TRY) != 0,
            (info.flags & CKF_USER_PIN_LOCKED) != 0};
}

std::vector<std::shared_ptr<Pkcs11Token>> initializedTokens(
    const std::shared_ptr<Pkcs11Module>& module, const std::string& library,
    KeyStoreInventory* inventory) {
    std::vector<std::shared_ptr<Pkcs11Token>> tokens;
    for (const CK_SLOT_ID slot : module->slotsWithToken()) {
        try {
            const CK_TOKEN_INFO info = module->tokenInfo(slot);
            // A blank token holds nothing to sign with.
            if ((info.flags & CKF_TOKEN_INITIALIZED) != 0) {
                tokens.push_back(std::make_shared<Pkcs11Token>(module, slot, info));
                if (inventory != nullptr) {
                    inventory->tokens.push_back(tokenRecord(info, library));
                }
            }
        } catch (const Pkcs11Error&) {
            // Taken out while being listed: not present.
        }
    }
    return tokens;
}

// A library file however it is named: a symbolic link or another path to it is the same file.
using FileIdentity = std::pair<dev_t, ino_t>;

std::optional<FileIdentity> fileIdentity(const std::filesystem::path& path) {
    struct stat facts {};
    if (::stat(path.c_str(), &facts) != 0) {
        return std::nullopt;
    }
    return FileIdentity{facts.st_dev, facts.st_ino};
}

}  // namespace

KeyStoreOptions defaultKeyStoreOptions() {
    KeyStoreOptions options;
    if (const auto home = nonEmptyEnvironment("HOME")) {
        options.nssDatabases = userNssDatabases(*home);
        options.sandboxFolders = sandboxFolders(*home);
    }
    options.pinEntryProgram = nonEmptyEnvironment("KIVO_PINENTRY");
    return options;
}

std::optional<std::filesystem::path> nssSoftokenPath(const KeyStoreOptions& options) {
    if (options.nssModule) {
        return options.nssModule;
    }
    return Pkcs11Module::findLibrary("libsoftokn3.so");
}

Pkcs11KeyStore::Pkcs11KeyStore(KeyStoreOptions options)
    : options_(std::move(options)),
      pinEntry_(std::make_shared<PinEntry>(
          options_.pinEntryProgram.value_or(defaultPinEntryProgram), options_.browserChannel)) {}

void Pkcs11KeyStore::loadNssTokens() {
    nssTokens_.emplace();
    if (options_.nssDatabases.empty()) {
        nssFailure_ = status::itemNotFound;
        return;
    }
    const auto modulePath = nssSoftokenPath(options_);
    if (!modulePath) {
        foundation::writeDebug([] { return std::string("NSS softoken module not found"); });
        nssFailure_ = status::notAvailable;
        for (const auto& database : options_.nssDatabases) {
            if (options_.inventory) {
                options_.inventory->databases.push_back(
                    {database.directory,
                     database.storeName,
                     NssDatabaseRecord::State::skipped,
                     "NSS's softoken (libsoftokn3.so) not found",
                     false,
                     {}});
            }
        }
        return;
    }
    try {
        OpenedNssDatabases opened =
            openNssDatabases(*modulePath, options_.nssDatabases, options_.inventory.get());
        if (opened.tokens.empty()) {
            nssFailure_ =
                opened.lastFailure ? queryStatusFor(*opened.lastFailure) : status::itemNotFound;
        }
        nssTokens_ = std::move(opened.tokens);
        nssRecords_ = std::move(opened.tokenRecords);
    } catch (const Pkcs11Error& failure) {
        foundation::writeDebug(
            [&] { return std::string("Cannot start the NSS softoken: ") + failure.what(); });
        nssFailure_ = queryStatusFor(failure.result());
    }
}

foundation::IdentityQueryResult Pkcs11KeyStore::querySystemIdentities() {
    if (!nssTokens_) {
        loadNssTokens();
    }
    if (nssFailure_) {
        return foundation::IdentityQueryResult{*nssFailure_, {}};
    }
    std::vector<TokenSearch> searches;
    auto result = queryIdentities(*nssTokens_, pinEntry_, &searches);
    for (std::size_t i = 0; options_.inventory && i < nssRecords_.size(); ++i) {
        NssDatabaseRecord& record = options_.inventory->databases[nssRecords_[i]];
        record.identities = searches[i].keysHidden || searches[i].failed
                                ? std::nullopt
                                : std::optional(searches[i].identities);
    }
    return result;
}

void Pkcs11KeyStore::recordModule(ModuleRecord record) const {
    if (options_.inventory) {
        options_.inventory->modules.push_back(std::move(record));
    }
}

void Pkcs11KeyStore::addTokensOf(const std::shared_ptr<Pkcs11Module>& module,
                                 const std::string& library) {
    try {
        auto tokens = initializedTokens(module, library, options_.inventory.get());
        if (tokens.empty()) {
            // Common on a desktop: a card reader module with no reader, a TPM's without a token.
            foundation::writeDebug([&] { return "No token in PKCS#11 module " + library; });
        }
        for (auto& token : tokens) {
            smartCardTokens_->push_back(std::move(token));
        }
    } catch (const Pkcs11Error& failure) {
        foundation::writeDebug([&] {
            return "Cannot list the tokens of PKCS#11 module " + library + ": " + failure.what();
        });
    }
}

void Pkcs11KeyStore::loadSmartCardTokens() {
    smartCardTokens_.emplace();
    std::set<FileIdentity> loaded;
    const std::vector<P11KitRegistration> registrations =
        options_.inventory ? p11KitRegistrations() : std::vector<P11KitRegistration>{};
    std::set<std::string> loadedNames;
    // Where the inventory says a module is registered: its p11-kit file, else its name.
    const auto registeredIn = [&](const std::string& name) {
        loadedNames.insert(name);
        const auto registration =
            std::find_if(registrations.begin(), registrations.end(),
                         [&](const P11KitRegistration& entry) { return entry.name == name; });
        return "p11-kit " +
               (registration != registrations.end() ? registration->file.string() : name);
    };
    const Pkcs11Module::Registered registered = Pkcs11Module::loadRegistered();
    for (const auto& [name, result] : registered.failed) {
        recordModule(
            {name, registeredIn(name), false, "C_Initialize " + pkcs11ResultName(result), false});
    }
    for (const auto& module : registered.started) {
        const auto library = module->registeredLibrary();
        if (library) {
            if (const auto identity = fileIdentity(*library)) {
                loaded.insert(*identity);
            }
        }
        const std::string libraryText = library ? library->string() : module->name();
        recordModule(
            {libraryText, registeredIn(module->name()), true, "CKR_OK", module->isTrustPolicy()});
        if (module->isTrustPolicy()) {
            continue;
        }
        foundation::writeDebug([&] { return "Searching PKCS#11 module " + libraryText; });
        addTokensOf(module, libraryText);
    }
    for (const P11KitRegistration& registration : registrations) {
        if (!loadedNames.contains(registration.name)) {
            recordModule({registration.name, "p11-kit " + registration.file.string(), false,
                          "p11-kit did not load it for this program (its library could not be "
                          "loaded, or its enable-in or disable-in setting leaves it out)",
                          false});
        }
    }
    // A vendor module a browser knows through its NSS database, which p11-kit may not know.
    for (const NssDatabaseLocation& database : options_.nssDatabases) {
        const std::vector<RegisteredNssModule> registered =
            registeredNssModules(database.directory);
        const std::string registeredIn = "pkcs11.txt of " + database.directory.string();
        if (!registered.empty() && database.sandbox) {
            foundation::writeLog(LogLevel::info, "Not loading the PKCS#11 modules registered in " +
                                                     database.directory.string() +
                                                     ": a sandboxed browser can write that folder");
            for (const RegisteredNssModule& module : registered) {
                recordModule({module.library, registeredIn, false,
                              "a sandboxed browser can write the folder that registers it", false});
            }
            continue;
        }
        for (const RegisteredNssModule& module : registered) {
            const auto library = trustedLibrary(module, database);
            const auto identity = library ? fileIdentity(*library) : std::nullopt;
            if (!identity || !loaded.insert(*identity).second) {
                continue;  // refused, or already searched
            }
            foundation::writeDebug([&] {
                return "Searching PKCS#11 module " + library->string() + " registered in " +
                       database.directory.string();
            });
            try {
                const auto loadedModule = Pkcs11Module::loadLibrary(*library);
                recordModule({library->string(), registeredIn, true, "CKR_OK", false});
                addTokensOf(loadedModule, library->string());
            } catch (const Pkcs11Error& failure) {
                foundation::writeDebug([&] {
                    return "Cannot load PKCS#11 module " + library->string() + ": " +
                           failure.what();
                });
                recordModule({library->string(), registeredIn, false, failure.what(), false});
            }
        }
    }
}

std::optional<std::filesystem::path> Pkcs11KeyStore::trustedLibrary(
    const RegisteredNssModule& registered, const NssDatabaseLocation& database) const {
    namespace fs = std::filesystem;
    // NSS hands a bare file name to the dynamic linker, which looks in the system's library
    // folders; so does finding it here. A relative path would depend on the folder the browser
    // started the host in.
    const fs::path given(registered.library);
    std::optional<fs::path> library;
    if (given.is_absolute()) {
        library = given;
    } else if (!given.has_parent_path()) {
        library = Pkcs11Module::findLibrary(registered.library);
    }
    std::error_code error;
    const fs::path resolved = library ? fs::canonical(*library, error) : fs::path();
    const std::string registeredIn = "pkcs11.txt of " + database.directory.string();
    if (!library || error) {
        foundation::writeDebug([&] {
            return "Cannot find PKCS#11 module " + registered.library + " registered in " +
                   database.directory.string();
        });
        recordModule({registered.library, registeredIn, false, "library not found", false});
        return std::nullopt;
    }
    if (const auto reason = untrustedModuleReason(resolved, options_.sandboxFolders)) {
        foundation::writeLog(LogLevel::info, "Not loading PKCS#11 module " + resolved.string() +
                                                 " registered in " + database.directory.string() +
                                                 ": " + *reason);
        recordModule({resolved.string(), registeredIn, false, *reason, false});
        return std::nullopt;
    }
    return resolved;
}

std::vector<std::string> Pkcs11KeyStore::tokenIds() {
    if (!smartCardTokens_) {
        loadSmartCardTokens();
    }
    std::vector<std::string> ids;
    for (const auto& token : *smartCardTokens_) {
        ids.push_back(token->uri());
    }
    return ids;
}

foundation::IdentityQueryResult Pkcs11KeyStore::queryTokenIdentities(const std::string& tokenId) {
    if (!smartCardTokens_) {
        loadSmartCardTokens();
    }
    for (const auto& token : *smartCardTokens_) {
        if (token->uri() == tokenId) {
            return queryIdentities({token}, pinEntry_);
        }
    }
    return foundation::IdentityQueryResult{status::notAvailable, {}};
}

}  // namespace kivo::platform
