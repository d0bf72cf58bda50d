#include "platform/Pkcs11KeyStore.h"

#include <sys/stat.h>

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

std::vector<std::shared_ptr<Pkcs11Token>> initializedTokens(
    const std::shared_ptr<Pkcs11Module>& module) {
    std::vector<std::shared_ptr<Pkcs11Token>> tokens;
    for (const CK_SLOT_ID slot : module->slotsWithToken()) {
        try {
            const CK_TOKEN_INFO info = module->tokenInfo(slot);
            // A blank token holds nothing to sign with.
            if ((info.flags & CKF_TOKEN_INITIALIZED) != 0) {
                tokens.push_back(std::make_shared<Pkcs11Token>(module, slot, info));
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

Pkcs11KeyStore::Pkcs11KeyStore(KeyStoreOptions options)
    : options_(std::move(options)),
      pinEntry_(std::make_shared<PinEntry>(options_.pinEntryProgram.value_or("pinentry"),
                                           options_.browserChannel)) {}

std::optional<std::filesystem::path> Pkcs11KeyStore::nssModulePath() const {
    if (options_.nssModule) {
        return options_.nssModule;
    }
    return Pkcs11Module::findLibrary("libsoftokn3.so");
}

void Pkcs11KeyStore::loadNssTokens() {
    nssTokens_.emplace();
    if (options_.nssDatabases.empty()) {
        nssFailure_ = status::itemNotFound;
        return;
    }
    const auto modulePath = nssModulePath();
    if (!modulePath) {
        foundation::writeDebug([] { return std::string("NSS softoken module not found"); });
        nssFailure_ = status::notAvailable;
        return;
    }
    try {
        OpenedNssDatabases opened = openNssDatabases(*modulePath, options_.nssDatabases);
        if (opened.tokens.empty()) {
            nssFailure_ =
                opened.lastFailure ? queryStatusFor(*opened.lastFailure) : status::itemNotFound;
        }
        nssTokens_ = std::move(opened.tokens);
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
    return queryIdentities(*nssTokens_, pinEntry_);
}

void Pkcs11KeyStore::addTokensOf(const std::shared_ptr<Pkcs11Module>& module) {
    try {
        for (auto& token : initializedTokens(module)) {
            smartCardTokens_->push_back(std::move(token));
        }
    } catch (const Pkcs11Error& failure) {
        foundation::writeDebug([&] {
            return "Cannot list the tokens of module " + module->name() + ": " + failure.what();
        });
    }
}

void Pkcs11KeyStore::loadSmartCardTokens() {
    smartCardTokens_.emplace();
    std::set<FileIdentity> loaded;
    for (const auto& module : Pkcs11Module::loadRegistered()) {
        const auto library = module->registeredLibrary();
        if (library) {
            if (const auto identity = fileIdentity(*library)) {
                loaded.insert(*identity);
            }
        }
        if (module->isTrustPolicy()) {
            continue;
        }
        foundation::writeDebug([&] {
            return "Searching PKCS#11 module " + (library ? library->string() : module->name());
        });
        addTokensOf(module);
    }
    // A vendor module a browser knows through its NSS database, which p11-kit may not know.
    for (const NssDatabaseLocation& database : options_.nssDatabases) {
        const std::vector<RegisteredNssModule> registered =
            registeredNssModules(database.directory);
        if (!registered.empty() && database.sandbox) {
            foundation::writeLog(LogLevel::info, "Not loading the PKCS#11 modules registered in " +
                                                     database.directory.string() +
                                                     ": a sandboxed browser can write that folder");
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
                addTokensOf(Pkcs11Module::loadLibrary(*library));
            } catch (const Pkcs11Error& failure) {
                foundation::writeDebug([&] {
                    return "Cannot load PKCS#11 module " + library->string() + ": " +
                           failure.what();
                });
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
    if (!library || error) {
        foundation::writeDebug([&] {
            return "Cannot find PKCS#11 module " + registered.library + " registered in " +
                   database.directory.string();
        });
        return std::nullopt;
    }
    if (const auto reason = untrustedModuleReason(resolved, options_.sandboxFolders)) {
        foundation::writeLog(LogLevel::info, "Not loading PKCS#11 module " + resolved.string() +
                                                 " registered in " + database.directory.string() +
                                                 ": " + *reason);
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
