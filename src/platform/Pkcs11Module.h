#pragma once

// One PKCS#11 module, loaded and initialized for this process. It is finalized and unloaded
// when the last reference goes, so every key reference that may still sign holds one.

#include <p11-kit/pkcs11.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kivo::platform {

class Pkcs11Module {
    struct Token {};

  public:
    // registry: p11-kit's configuration; managed: a library loaded through p11-kit outside it;
    // direct: a library initialized with arguments of our own.
    enum class Ownership { registry, managed, direct };

    // Every module registered with p11-kit, initialized, in p11-kit's order. A module that fails
    // to load (p11-kit decides) or to initialize is left out, with a DEBUG line; those that failed
    // to initialize are named in `failed` with the result of C_Initialize.
    struct Registered;
    static Registered loadRegistered();

    // Loads the library at `path` outside the registry and initializes it with `reserved` as
    // the initialization arguments' pReserved text. Throws Pkcs11Error.
    static std::shared_ptr<Pkcs11Module> loadWithReservedText(const std::filesystem::path& path,
                                                              const std::string& reserved);

    // Loads the library at `path` through p11-kit, outside its registry, and initializes it.
    // Throws Pkcs11Error.
    static std::shared_ptr<Pkcs11Module> loadLibrary(const std::filesystem::path& path);

    // Where the dynamic linker finds the library `name` (a file name or a path), as loading it
    // would; absent when it cannot be loaded.
    static std::optional<std::filesystem::path> findLibrary(const std::string& name);

    Pkcs11Module(Token, CK_FUNCTION_LIST* functions, Ownership ownership);
    Pkcs11Module(const Pkcs11Module&) = delete;
    Pkcs11Module& operator=(const Pkcs11Module&) = delete;
    ~Pkcs11Module();

    CK_FUNCTION_LIST& functions() const { return *functions_; }
    // p11-kit's name for a registered module; empty for one loaded directly.
    std::string name() const;
    // The library file of a registered module, a relative name taken from p11-kit's module
    // folder; absent when p11-kit does not say.
    std::optional<std::filesystem::path> registeredLibrary() const;
    // A registered module that p11-kit marks as trust policy: it holds CA anchors only.
    bool isTrustPolicy() const;

    // Slots with a token present, in module order. Throws Pkcs11Error.
    std::vector<CK_SLOT_ID> slotsWithToken() const;
    // Throws Pkcs11Error (CKR_TOKEN_NOT_PRESENT when the token was taken out).
    CK_TOKEN_INFO tokenInfo(CK_SLOT_ID slot) const;
    // Whether the slot's token can sign with `mechanism`.
    bool canSignWith(CK_SLOT_ID slot, CK_MECHANISM_TYPE mechanism) const;

  private:
    CK_FUNCTION_LIST* functions_;
    Ownership ownership_;
};

struct Pkcs11Module::Registered {
    std::vector<std::shared_ptr<Pkcs11Module>> started;
    std::vector<std::pair<std::string, CK_RV>> failed;  // p11-kit's name of the module
};

// A module registered with p11-kit: its name (the configuration file's name without ".module")
// and the file that registers it.
struct P11KitRegistration {
    std::string name;
    std::filesystem::path file;
};

// The module files of p11-kit's configuration folders (the user's, then /etc/pkcs11/modules, then
// the packages'), one per name, the first folder holding a name winning.
std::vector<P11KitRegistration> p11KitRegistrations();

// The token's PKCS#11 URI (token attributes only), for example
// "pkcs11:model=SoftHSM%20v2;manufacturer=SoftHSM%20project;serial=...;token=Alpha".
std::string tokenUri(const CK_TOKEN_INFO& info);

// A fixed-width, blank-padded PKCS#11 text field without its padding.
std::string paddedText(const CK_UTF8CHAR* text, std::size_t width);

}  // namespace kivo::platform
