#pragma once

// The PKCS#11 modules that a user registered in an NSS database (through the browser's device
// manager or modutil), read from the database's pkcs11.txt. NSS's own modules are left out:
// the internal softoken, whose databases are searched as the system key store, and the
// built-in root certificates, which hold no keys.

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace kivo::platform {

struct RegisteredNssModule {
    std::string name;
    // As written: an absolute path, or a file name the dynamic linker looks up.
    std::string library;
};

// The vendor modules of one pkcs11.txt text, in file order.
std::vector<RegisteredNssModule> parseNssModuleList(std::string_view pkcs11Txt);

// The vendor modules registered in the database folder `directory`; none when it has no
// pkcs11.txt, or it is not a regular file of at most 1 MiB.
std::vector<RegisteredNssModule> registeredNssModules(const std::filesystem::path& directory);

}  // namespace kivo::platform
