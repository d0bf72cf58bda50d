// Finding the user's NSS databases and the vendor modules registered in them, from files as
// Firefox and modutil write them (tests/data/platform).

#include "platform/UserNssDatabases.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "platform/NssModuleList.h"
#include "support/TempDir.h"

namespace kivo::testing {
namespace {

namespace fs = std::filesystem;

const fs::path data = fs::path(KIVO_TEST_DATA_DIR) / "platform";

// Each database found: its folder below `home` and the name of its store.
std::vector<std::pair<std::string, std::string>> listed(const fs::path& home) {
    std::vector<std::pair<std::string, std::string>> result;
    for (const auto& location : platform::userNssDatabases(home)) {
        result.emplace_back(location.directory.lexically_relative(home), location.storeName);
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
    const std::string flatpak = ".var/app/org.mozilla.firefox/.mozilla/firefox/";
    const std::string snap = "snap/firefox/common/.mozilla/firefox/";
    writeFile(home / flatpak / "profiles.ini", readFile(data / "flatpak-profiles.ini"));
    writeFile(home / snap / "profiles.ini", readFile(data / "snap-profiles.ini"));
    fs::create_directories(home / ".pki/nssdb");
    fs::create_directory_symlink(home / ".pki/nssdb", home / snap / "linked");

    std::vector<std::pair<std::string, std::string>> listed;
    for (const auto& location : platform::userNssDatabases(home)) {
        listed.emplace_back(location.directory.lexically_relative(home), location.storeName);
    }
    EXPECT_EQ(listed,
              (std::vector<std::pair<std::string, std::string>>{
                  {".pki/nssdb", "NSS database ~/.pki/nssdb"},
                  {".mozilla/firefox/ab.default-release", "Firefox profile default-release"},
                  {".mozilla/firefox/cd.default", "Firefox profile default"},
                  {"kept/elsewhere", "Firefox profile elsewhere"},
                  {snap + "s1.snappy", "Firefox (Snap) profile snappy"},
                  {flatpak + "f1.unnamed", "Firefox (Flatpak) profile f1.unnamed"},
              }));
}

// A sandboxed Firefox can write its own profiles.ini: what it lists stays inside its folder, and
// only a small regular file is read at all.
TEST(UserNssDatabases, ASandboxsProfilesStayInsideItsFolder) {
    const fs::path flatpak = ".var/app/org.mozilla.firefox/.mozilla/firefox";
    const fs::path snap = "snap/firefox/common/.mozilla/firefox";
    const struct {
        fs::path root;
        std::string ini;
        std::vector<std::string> listed;  // below home, after ~/.pki/nssdb
    } cases[] = {
        {flatpak, "[Profile0]\nPath=inside", {(flatpak / "inside").string()}},
        {flatpak, "[Profile0]\nPath=../../../../etc/ssl", {}},
        {flatpak, "[Profile0]\nIsRelative=0\nPath=/var/tmp/anywhere", {}},
        {snap, "[InstallAB]\nDefault=/root", {}},
        {snap, "[Profile0]\nPath=link-out", {}},
        {snap, "", {}},     // profiles.ini is a link to /dev/zero
        {flatpak, "", {}},  // profiles.ini is a FIFO
    };
    for (const auto& c : cases) {
        TempDir dir;
        const fs::path home = dir.path();
        fs::create_directories(home / c.root);
        fs::create_directories(home / "elsewhere");
        fs::create_directory_symlink(home / "elsewhere", home / c.root / "link-out");
        const fs::path ini = home / c.root / "profiles.ini";
        if (!c.ini.empty()) {
            writeFile(ini, c.ini + "\n");
        } else if (c.root == snap) {
            fs::create_symlink("/dev/zero", ini);
        } else {
            ASSERT_EQ(::mkfifo(ini.c_str(), 0600), 0);
        }
        std::vector<std::string> folders;
        for (const auto& [folder, name] : listed(home)) {
            folders.push_back(folder);
        }
        std::vector<std::string> expected{".pki/nssdb"};
        expected.insert(expected.end(), c.listed.begin(), c.listed.end());
        EXPECT_EQ(folders, expected) << c.ini;
    }
}

// The internal module as certutil writes it, the built-in roots as older Firefox did, and
// p11-kit's stand-ins for them are left out; two vendor modules remain.
TEST(NssModuleList, VendorModulesOnlyInFileOrder) {
    const auto modules = platform::parseNssModuleList(readFile(data / "pkcs11.txt"));
    ASSERT_EQ(modules.size(), 2u);
    EXPECT_EQ(modules[0].name, "Vendor Card");
    EXPECT_EQ(modules[0].library, "/opt/vendor/lib/libvendor-pkcs11.so");
    EXPECT_EQ(modules[1].name, "OpenSC");
    EXPECT_EQ(modules[1].library, "opensc-pkcs11.so");
}

}  // namespace
}  // namespace kivo::testing
