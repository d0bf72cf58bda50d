// Finding the user's NSS databases and the vendor modules registered in them, from files as
// Firefox and modutil write them (tests/data/platform).

#include "platform/UserNssDatabases.h"

#include <gtest/gtest.h>

#include "platform/NssModuleList.h"
#include "support/TempDir.h"

namespace kivo::testing {
namespace {

namespace fs = std::filesystem;

const fs::path data = fs::path(KIVO_TEST_DATA_DIR) / "platform";

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
