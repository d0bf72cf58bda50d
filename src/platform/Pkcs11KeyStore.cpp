#include "platform/Pkcs11KeyStore.h"

#include <dlfcn.h>
#include <link.h>

#include <cstdlib>

#include "foundation/Log.h"
#include "platform/Pkcs11Result.h"
#include "platform/TokenIdentities.h"

namespace kivo::platform {
namespace {

namespace status = foundation::security_status;

std::optional<std::string> nonEmptyEnvironment(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') {
        return std::nullopt;
    }
    return std::string(value);
}

// Inside NSS's quoted parameters a quote or backslash must be escaped with a backslash.
std::string quotedParameter(const std::string& text) {
    std::string result;
    for (const char c : text) {
        if (c == '\'' || c == '\\') {
            result.push_back('\\');
        }
        result.push_back(c);
    }
    return result;
}

struct LibraryCloser {
    void operator()(void* handle) const { ::dlclose(handle); }
};

// Where the dynamic linker finds `soname`, so the module is the system's own NSS.
std::optional<std::filesystem::path> librarySearchPath(const char* soname) {
    const std::unique_ptr<void, LibraryCloser> handle(::dlopen(soname, RTLD_LAZY | RTLD_LOCAL));
    link_map* map = nullptr;
    if (!handle || ::dlinfo(handle.get(), RTLD_DI_LINKMAP, &map) != 0 || map == nullptr ||
        map->l_name == nullptr || *map->l_name == '\0') {
        return std::nullopt;
    }
    return std::filesystem::path(map->l_name);
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

}  // namespace

KeyStoreOptions defaultKeyStoreOptions() {
    KeyStoreOptions options;
    if (const auto home = nonEmptyEnvironment("HOME")) {
        options.nssDatabaseDir = std::filesystem::path(*home) / ".pki" / "nssdb";
    }
    options.pinEntryProgram = nonEmptyEnvironment("KIVO_PINENTRY");
    return options;
}

std::string nssInitializationText(const std::filesystem::path& directory) {
    return "configdir='sql:" + quotedParameter(directory.string()) +
           "' certPrefix='' keyPrefix='' secmod='secmod.db' flags=readOnly";
}

Pkcs11KeyStore::Pkcs11KeyStore(KeyStoreOptions options)
    : options_(std::move(options)),
      pinEntry_(std::make_shared<PinEntry>(options_.pinEntryProgram.value_or("pinentry"))) {}

std::optional<std::filesystem::path> Pkcs11KeyStore::nssModulePath() const {
    if (options_.nssModule) {
        return options_.nssModule;
    }
    return librarySearchPath("libsoftokn3.so");
}

void Pkcs11KeyStore::loadNssTokens() {
    nssTokens_.emplace();
    std::error_code error;
    if (!options_.nssDatabaseDir ||
        !std::filesystem::is_regular_file(*options_.nssDatabaseDir / "cert9.db", error)) {
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
        const auto module = Pkcs11Module::loadWithReservedText(
            *modulePath, nssInitializationText(*options_.nssDatabaseDir));
        nssTokens_ = initializedTokens(module);
    } catch (const Pkcs11Error& failure) {
        foundation::writeDebug(
            [&] { return std::string("Cannot open NSS database: ") + failure.what(); });
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

void Pkcs11KeyStore::loadSmartCardTokens() {
    smartCardTokens_.emplace();
    for (const auto& module : Pkcs11Module::loadRegistered()) {
        if (module->isTrustPolicy()) {
            continue;
        }
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
