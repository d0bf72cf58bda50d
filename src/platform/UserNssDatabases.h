#pragma once

// Where a user's NSS databases are: Chrome's and Chromium's shared database first, then the
// profiles of Firefox as installed from the distribution, the Snap and the Flatpak, each found
// through its profiles.ini. Only the folders are worked out here; nothing is opened. A sandboxed
// browser can write its own folder, so what its files say is kept inside that folder.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kivo::platform {

struct NssDatabaseLocation {
    std::filesystem::path directory;
    // How the user knows the store, shown when its password is asked for
    // ("Firefox profile default-release").
    std::string storeName;
    // The folder of the sandboxed browser (Snap, Flatpak) that keeps this database. That browser
    // can write there, so the database is data only: the modules it names are never loaded.
    std::optional<std::filesystem::path> sandbox;
};

// The databases under `home` in search order: ~/.pki/nssdb, then for each Firefox folder
// (~/.mozilla/firefox, ~/snap/firefox/common/.mozilla/firefox,
// ~/.var/app/org.mozilla.firefox/.mozilla/firefox) the install defaults of its profiles.ini,
// then every profile it lists. A folder reached twice is listed once. Folders are listed
// whether or not they hold a database; opening them tells.
std::vector<NssDatabaseLocation> userNssDatabases(const std::filesystem::path& home);

// The profile folders of one profiles.ini text, install defaults first, with the profiles'
// names. `root` is the folder that holds the profiles.ini. With a `sandbox`, a profile whose
// folder (its links followed) lies outside it is left out with a log line.
std::vector<NssDatabaseLocation> firefoxProfiles(
    std::string_view profilesIni, const std::filesystem::path& root, std::string_view storeKind,
    const std::optional<std::filesystem::path>& sandbox = std::nullopt);

// The folders below `home` that sandboxed applications can write: ~/snap and ~/.var/app.
std::vector<std::filesystem::path> sandboxFolders(const std::filesystem::path& home);

}  // namespace kivo::platform
