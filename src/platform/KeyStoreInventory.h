#pragma once

// What the key store met while it loaded, recorded as it went: the NSS databases, the PKCS#11
// modules with where each is registered, and their tokens. The search never reads it; it is
// there to be shown (kivo-signing-host --diagnose).

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kivo::platform {

struct NssDatabaseRecord {
    enum class State { noDatabase, skipped, opened, failed };

    std::filesystem::path directory;
    std::string storeName;
    State state = State::noDatabase;
    // Why it was skipped, or the PKCS#11 result it could not be opened with.
    std::string detail;
    // Opened: a password guards its keys.
    bool passwordProtected = false;
    // Opened and searched: its certificates with a private key; none while the password hides
    // the keys, or when the search failed.
    std::optional<std::size_t> identities;
};

struct ModuleRecord {
    // The library file, or the name as it was registered when no file was found.
    std::string library;
    // "p11-kit <configuration file>" or "pkcs11.txt of <NSS database folder>".
    std::string registeredIn;
    bool loaded = false;
    // C_Initialize's result ("CKR_OK", ...), or why the module was not loaded.
    std::string initializeResult;
    // p11-kit's trust-policy modules hold CA anchors only and are not searched.
    bool trustPolicy = false;
};

struct TokenRecord {
    std::string library;  // the module's
    std::string uri;
    std::string label;
    std::string manufacturer;
    std::string model;
    std::string serial;
    bool loginRequired = false;
    bool pinPad = false;  // CKF_PROTECTED_AUTHENTICATION_PATH
    bool pinCountLow = false;
    bool pinFinalTry = false;
    bool pinLocked = false;
};

struct KeyStoreInventory {
    std::vector<NssDatabaseRecord> databases;
    std::vector<ModuleRecord> modules;
    std::vector<TokenRecord> tokens;
};

}  // namespace kivo::platform
