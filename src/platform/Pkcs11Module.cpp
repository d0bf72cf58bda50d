#include "platform/Pkcs11Module.h"

#include <p11-kit/p11-kit.h>
#include <p11-kit/uri.h>

#include <dlfcn.h>
#include <link.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "foundation/Log.h"
#include "platform/Pkcs11Result.h"

namespace kivo::platform {
namespace {

struct FreeDeleter {
    void operator()(void* memory) const { std::free(memory); }
};
template <typename T>
using MallocPtr = std::unique_ptr<T, FreeDeleter>;

struct UriDeleter {
    void operator()(P11KitUri* uri) const { p11_kit_uri_free(uri); }
};

struct LibraryCloser {
    void operator()(void* handle) const { ::dlclose(handle); }
};

std::string p11KitMessage() {
    const char* message = p11_kit_message();
    return message != nullptr ? message : "no details";
}

}  // namespace

Pkcs11Module::Registered Pkcs11Module::loadRegistered() {
    const MallocPtr<CK_FUNCTION_LIST*> list(p11_kit_modules_load(nullptr, 0));
    Registered modules;
    if (!list) {
        foundation::writeDebug([] { return "No PKCS#11 modules loaded: " + p11KitMessage(); });
        return modules;
    }
    // Loaded modules not yet handed to an owner are released here however the loop ends.
    struct Unclaimed {
        CK_FUNCTION_LIST** next;
        ~Unclaimed() {
            for (; *next != nullptr; ++next) {
                p11_kit_module_release(*next);
            }
        }
    } unclaimed{list.get()};
    while (*unclaimed.next != nullptr) {
        CK_FUNCTION_LIST* const functions = *unclaimed.next++;
        // Each module starts on its own: one that cannot (no TPM, no reader service) is passed
        // by without taking the others with it, as p11-kit would for a "critical" one.
        const CK_RV result = p11_kit_module_initialize(functions);
        if (result != CKR_OK) {
            const MallocPtr<char> name(p11_kit_module_get_name(functions));
            modules.failed.emplace_back(name ? name.get() : "", result);
            foundation::writeDebug([&] {
                return "Cannot start PKCS#11 module " + modules.failed.back().first + ": " +
                       pkcs11ResultName(result);
            });
            p11_kit_module_release(functions);
            continue;
        }
        std::shared_ptr<Pkcs11Module> module;
        try {
            module = std::make_shared<Pkcs11Module>(Token{}, functions, Ownership::registry);
        } catch (...) {
            p11_kit_module_finalize(functions);
            p11_kit_module_release(functions);
            throw;
        }
        modules.started.push_back(std::move(module));
    }
    return modules;
}

std::shared_ptr<Pkcs11Module> Pkcs11Module::loadWithReservedText(const std::filesystem::path& path,
                                                                 const std::string& reserved) {
    CK_FUNCTION_LIST* functions = p11_kit_module_load(path.c_str(), P11_KIT_MODULE_UNMANAGED);
    if (functions == nullptr) {
        foundation::writeDebug(
            [&] { return "Cannot load " + path.string() + ": " + p11KitMessage(); });
        throw Pkcs11Error(CKR_LIBRARY_LOAD_FAILED);
    }
    std::string text = reserved;
    CK_C_INITIALIZE_ARGS arguments{};
    arguments.flags = CKF_OS_LOCKING_OK;
    arguments.pReserved = text.data();
    const CK_RV result = functions->C_Initialize(&arguments);
    if (result != CKR_OK) {
        p11_kit_module_release(functions);
        throw Pkcs11Error(result);
    }
    try {
        return std::make_shared<Pkcs11Module>(Token{}, functions, Ownership::direct);
    } catch (...) {
        functions->C_Finalize(nullptr);
        p11_kit_module_release(functions);
        throw;
    }
}

std::shared_ptr<Pkcs11Module> Pkcs11Module::loadLibrary(const std::filesystem::path& path) {
    CK_FUNCTION_LIST* functions = p11_kit_module_load(path.c_str(), 0);
    if (functions == nullptr) {
        foundation::writeDebug(
            [&] { return "Cannot load " + path.string() + ": " + p11KitMessage(); });
        throw Pkcs11Error(CKR_LIBRARY_LOAD_FAILED);
    }
    const CK_RV result = p11_kit_module_initialize(functions);
    if (result != CKR_OK) {
        p11_kit_module_release(functions);
        throw Pkcs11Error(result);
    }
    return std::make_shared<Pkcs11Module>(Token{}, functions, Ownership::managed);
}

std::optional<std::filesystem::path> Pkcs11Module::findLibrary(const std::string& name) {
    const std::unique_ptr<void, LibraryCloser> handle(
        ::dlopen(name.c_str(), RTLD_LAZY | RTLD_LOCAL));
    link_map* map = nullptr;
    if (!handle || ::dlinfo(handle.get(), RTLD_DI_LINKMAP, &map) != 0 || map == nullptr ||
        map->l_name == nullptr || *map->l_name == '\0') {
        return std::nullopt;
    }
    return std::filesystem::path(map->l_name);
}

Pkcs11Module::Pkcs11Module(Token, CK_FUNCTION_LIST* functions, Ownership ownership)
    : functions_(functions), ownership_(ownership) {}

Pkcs11Module::~Pkcs11Module() {
    if (ownership_ != Ownership::direct) {
        p11_kit_module_finalize(functions_);
    } else {
        functions_->C_Finalize(nullptr);
    }
    p11_kit_module_release(functions_);
}

std::string Pkcs11Module::name() const {
    if (ownership_ != Ownership::registry) {
        return {};
    }
    const MallocPtr<char> name(p11_kit_module_get_name(functions_));
    return name ? name.get() : "";
}

std::optional<std::filesystem::path> Pkcs11Module::registeredLibrary() const {
    if (ownership_ != Ownership::registry) {
        return std::nullopt;
    }
    const MallocPtr<char> option(p11_kit_config_option(functions_, "module"));
    if (!option || *option == '\0') {
        return std::nullopt;
    }
    const std::filesystem::path path(option.get());
    return path.is_absolute() ? path : std::filesystem::path(KIVO_P11_MODULE_PATH) / path;
}

bool Pkcs11Module::isTrustPolicy() const {
    return ownership_ == Ownership::registry &&
           (p11_kit_module_get_flags(functions_) & P11_KIT_MODULE_TRUSTED) != 0;
}

std::vector<CK_SLOT_ID> Pkcs11Module::slotsWithToken() const {
    // The count may change between the two calls when a card comes or goes.
    for (int attempt = 0; attempt < 3; ++attempt) {
        CK_ULONG count = 0;
        check(functions_->C_GetSlotList(CK_TRUE, nullptr, &count));
        std::vector<CK_SLOT_ID> slots(count);
        const CK_RV result = functions_->C_GetSlotList(CK_TRUE, slots.data(), &count);
        if (result == CKR_BUFFER_TOO_SMALL) {
            continue;
        }
        check(result);
        slots.resize(count);
        return slots;
    }
    throw Pkcs11Error(CKR_BUFFER_TOO_SMALL);
}

CK_TOKEN_INFO Pkcs11Module::tokenInfo(CK_SLOT_ID slot) const {
    CK_TOKEN_INFO info{};
    check(functions_->C_GetTokenInfo(slot, &info));
    return info;
}

bool Pkcs11Module::canSignWith(CK_SLOT_ID slot, CK_MECHANISM_TYPE mechanism) const {
    CK_MECHANISM_INFO info{};
    return functions_->C_GetMechanismInfo(slot, mechanism, &info) == CKR_OK &&
           (info.flags & CKF_SIGN) != 0;
}

std::vector<P11KitRegistration> p11KitRegistrations() {
    namespace fs = std::filesystem;
    std::vector<fs::path> folders;
    // p11-kit reads ~/.config below $XDG_CONFIG_HOME when that is set.
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config != nullptr && *config != '\0') {
        folders.push_back(fs::path(config) / "pkcs11/modules");
    } else if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        folders.push_back(fs::path(home) / ".config/pkcs11/modules");
    }
    folders.insert(folders.end(),
                   {"/etc/pkcs11/modules", KIVO_P11_SYSTEM_CONFIGS, KIVO_P11_MODULE_CONFIGS});
    std::vector<P11KitRegistration> registrations;
    for (const fs::path& folder : folders) {
        std::error_code error;
        std::vector<fs::path> files;
        for (const auto& entry : fs::directory_iterator(folder, error)) {
            files.push_back(entry.path());
        }
        std::sort(files.begin(), files.end());
        for (const fs::path& file : files) {
            const std::string name = file.stem().string();
            const bool known = std::any_of(registrations.begin(), registrations.end(),
                                           [&](const auto& seen) { return seen.name == name; });
            if (file.extension() == ".module" && !name.starts_with(".") && !known) {
                registrations.push_back({name, file});
            }
        }
    }
    return registrations;
}

std::string tokenUri(const CK_TOKEN_INFO& info) {
    const std::unique_ptr<P11KitUri, UriDeleter> uri(p11_kit_uri_new());
    std::memcpy(p11_kit_uri_get_token_info(uri.get()), &info, sizeof info);
    char* text = nullptr;
    if (p11_kit_uri_format(uri.get(), P11_KIT_URI_FOR_TOKEN, &text) != P11_KIT_URI_OK) {
        return "pkcs11:";
    }
    const MallocPtr<char> owned(text);
    return owned.get();
}

std::string paddedText(const CK_UTF8CHAR* text, std::size_t width) {
    std::string value(reinterpret_cast<const char*>(text), width);
    const auto end = value.find_last_not_of(' ');
    return end == std::string::npos ? std::string() : value.substr(0, end + 1);
}

}  // namespace kivo::platform
