#include "platform/NssModuleList.h"

#include <sstream>

#include "foundation/SmallFile.h"

namespace kivo::platform {
namespace {

std::string_view trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

struct Entry {
    std::string library;
    std::string name;
    std::string nssOptions;
};

// The NSS= options' Flags list, for example "internal,critical" in
// "NSS=Flags=internal,critical trustOrder=75".
bool hasNssFlag(const std::string& nssOptions, std::string_view flag) {
    const auto start = nssOptions.find("Flags=");
    if (start == std::string::npos) {
        return false;
    }
    const std::string flags =
        nssOptions.substr(start + 6, nssOptions.find(' ', start) - (start + 6));
    std::istringstream list(flags);
    for (std::string item; std::getline(list, item, ',');) {
        if (item == flag) {
            return true;
        }
    }
    return false;
}

bool isNssOwnModule(const Entry& entry) {
    if (entry.library.empty() || hasNssFlag(entry.nssOptions, "internal") ||
        hasNssFlag(entry.nssOptions, "moduleDBOnly")) {
        return true;
    }
    const std::string file = std::filesystem::path(entry.library).filename().string();
    // The built-in roots, as NSS ships them or as p11-kit's trust module stands in for them;
    // p11-kit's proxy only forwards to the p11-kit modules, which are searched anyway.
    return file.starts_with("libnssckbi") || file == "p11-kit-trust.so" ||
           file == "p11-kit-proxy.so" || file.starts_with("libsoftokn3") ||
           file.starts_with("libnssdbm3");
}

}  // namespace

std::vector<RegisteredNssModule> parseNssModuleList(std::string_view pkcs11Txt) {
    std::vector<Entry> entries;
    bool inEntry = false;
    std::istringstream lines{std::string(pkcs11Txt)};
    for (std::string raw; std::getline(lines, raw);) {
        const std::string_view line = trimmed(raw);
        if (line.empty() || line.front() == '#') {
            inEntry = false;  // a blank line ends an entry
            continue;
        }
        const auto equals = line.find('=');
        if (equals == std::string_view::npos) {
            continue;
        }
        if (!inEntry) {
            entries.emplace_back();
            inEntry = true;
        }
        const std::string_view key = line.substr(0, equals);
        const std::string value(trimmed(line.substr(equals + 1)));
        if (key == "library") {
            entries.back().library = value;
        } else if (key == "name") {
            entries.back().name = value;
        } else if (key == "NSS") {
            entries.back().nssOptions = value;
        }
    }
    std::vector<RegisteredNssModule> modules;
    for (const Entry& entry : entries) {
        if (!isNssOwnModule(entry)) {
            modules.push_back(RegisteredNssModule{entry.name, entry.library});
        }
    }
    return modules;
}

std::vector<RegisteredNssModule> registeredNssModules(const std::filesystem::path& directory) {
    const auto text = foundation::readSmallFile(directory / "pkcs11.txt");
    return text ? parseNssModuleList(*text) : std::vector<RegisteredNssModule>{};
}

}  // namespace kivo::platform
