#pragma once

// Where a user's NSS databases are: Chrome's and Chromium's shared database first, then the
// profiles of Firefox as installed from the distribution, the Snap and the Flatpak, each found
// through its profiles.ini. Only the folders are worked out here; nothing is opened.

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace kivo::platform {

struct NssDatabaseLocation {
    std::filesystem::path directory;
    // How the user knows the store, shown when its password is asked for
    // ("Firefox profile default-release").
    std::string storeName;
};

// The databases under `home` in search order: ~/.pki/nssdb, then for each Firefox folder
// (~/.mozilla/firefox, ~/snap/firefox/common/.mozilla/firefox,
// ~/.var/app/org.mozilla.firefox/.mozilla/firefox) the install defaults of its profiles.ini,
// then every profile it lists. A folder reached twice is listed once. Folders are listed
// whether or not they hold a database; opening them tells.
std::vector<NssDatabaseLocation> userNssDatabases(const std::filesystem::path& home);

// The profile folders of one profiles.ini text, install defaults first, with the profiles'
// names. `root` is the folder that holds the profiles.ini.
std::vector<NssDatabaseLocation> firefoxProfiles(std::string_view profilesIni,
                                                 const std::filesystem::path& root,
                                                 std::string_view storeKind);

}  // namespace kivo::platform
