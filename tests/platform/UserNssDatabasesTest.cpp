// Finding the user's NSS databases and the vendor modules registered in them, from files as
// Firefox and modutil write them (tests/data/platform).

#include "platform/UserNssDatabases.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "platform/NssModuleList.h"
#include "support/TempDir.h"
#include "support/TestCases.h"

namespace kivo::testing {
namespace {

namespace fs = std::filesystem;

const fs::path data = fs::path(KIVO_TEST_DATA_DIR) / "platform";
const fs::path flatpak = ".var/app/org.mozilla.firefox/.mozilla/firefox";
const fs::path snap = "snap/firefox/common/.mozilla/firefox";

// Each database found: its folder below `home` and the name of its store.
nlohmann::json listed(const fs::path& home) {
    nlohmann::json result = nlohmann::json::array();
    for (const auto& location : platform::userNssDatabases(home)) {
        result.push_back(
            {location.directory.lexically_relative(home).string(), location.storeName});
    }
    return result;
}

// profiles.ini: two installs, a profile kept outside the folder (under HOME), one listed twice;
// the Flatpak's lists a profile without a name and one without a folder; the Snap's, a profile
// folder that is a link to ~/.pki/nssdb and so the same database.
TEST(UserNssDatabases, PkiNssdbFirstThenEachFirefoxInstallDefaultsBeforeEveryProfile) {
    TempDir dir;
    const fs::path home = dir.path();
    std::string profiles = readFile(data / "profiles.ini");
    profiles.replace(profiles.find("HOME"), 4, home.string());
    writeFile(home / ".mozilla/firefox/profiles.ini", profiles);
    writeFile(home / flatpak / "profiles.ini", readFile(data / "flatpak-profiles.ini"));
    writeFile(home / snap / "profiles.ini", readFile(data / "snap-profiles.ini"));
    fs::create_directories(home / ".pki/nssdb");
    fs::create_directory_symlink(home / ".pki/nssdb", home / snap / "linked");
    EXPECT_EQ(listed(home), testCases("platform/stores.json", "found"));
}

// A sandboxed Firefox can write its own profiles.ini: what it lists stays inside its folder, and
// only a small regular file is read at all.
TEST(UserNssDatabases, ASandboxsProfilesStayInsideItsFolder) {
    for (const auto& c : testCases("platform/stores.json", "sandbox")) {
        const fs::path root = c[0] == "snap" ? snap : flatpak;
        const std::string text = c[1];
        TempDir dir;
        const fs::path home = dir.path();
        fs::create_directories(home / "elsewhere");
        fs::create_directories(home / root);
        fs::create_directory_symlink(home / "elsewhere", home / root / "link-out");
        const fs::path ini = home / root / "profiles.ini";
        if (!text.empty()) {
            writeFile(ini, text + "\n");
        } else if (root == snap) {
            fs::create_symlink("/dev/zero", ini);
        } else {
            ASSERT_EQ(::mkfifo(ini.c_str(), 0600), 0);
        }
        nlohmann::json expected = nlohmann::json::array({".pki/nssdb"});
        for (const std::string folder : c[2]) {
            expected.push_back((root / folder).string());
        }
        nlohmann::json folders = nlohmann::json::array();
        for (const auto& entry : listed(home)) {
            folders.push_back(entry[0]);
        }
        EXPECT_EQ(folders, expected) << text;
    }
}

// The internal module as certutil writes it, the built-in roots as older Firefox did, and
// p11-kit's stand-ins for them are left out; two vendor modules remain.
TEST(NssModuleList, VendorModulesOnlyInFileOrder) {
    std::vector<std::string> modules;
    for (const auto& module : platform::parseNssModuleList(readFile(data / "pkcs11.txt"))) {
        modules.push_back(module.name + " " + module.library);
    }
    EXPECT_EQ(modules, (std::vector<std::string>{"Vendor Card /opt/vendor/lib/libvendor-pkcs11.so",
                                                 "OpenSC opensc-pkcs11.so"}));
}

}  // namespace
}  // namespace kivo::testing
