// Finding the user's NSS databases and the vendor modules registered in them, from the files
// Firefox and modutil write.

#include "platform/UserNssDatabases.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "platform/NssModuleList.h"
#include "support/TempDir.h"

namespace kivo::testing {
namespace {

namespace fs = std::filesystem;
using platform::NssDatabaseLocation;

std::vector<std::pair<std::string, std::string>> listed(
    const std::vector<NssDatabaseLocation>& locations, const fs::path& home) {
    std::vector<std::pair<std::string, std::string>> result;
    for (const auto& location : locations) {
        result.emplace_back(location.directory.lexically_relative(home).string(),
                            location.storeName);
    }
    return result;
}

TEST(UserNssDatabases, PkiNssdbFirstThenEachFirefoxInstallDefaultsBeforeEveryProfile) {
    TempDir dir;
    const fs::path home = dir.path();
    // As Firefox writes it: two installs, a profile kept outside the folder, one listed twice.
    writeFile(home / ".mozilla/firefox/profiles.ini",
              "[Install4F96D1932A9F858E]\nDefault=ab.default-release\nLocked=1\n\n"
              "[Profile2]\nName=elsewhere\nIsRelative=0\nPath=" +
                  (home / "kept/elsewhere").string() +
                  "\n\n"
                  "[Profile1]\nName=default\nIsRelative=1\nPath=cd.default\nDefault=1\n\n"
                  "[Profile0]\nName=default-release\nIsRelative=1\nPath=ab.default-release\n\n"
                  "[InstallE7CF176E110C211B]\r\nDefault=cd.default\r\n\r\n"
                  "[General]\nStartWithLastProfile=1\nVersion=2\n");
    writeFile(home / ".var/app/org.mozilla.firefox/.mozilla/firefox/profiles.ini",
              "[Profile0]\nPath=f1.unnamed\n[Profile1]\nName=broken\n");
    // A profile folder that is a link to ~/.pki/nssdb is the same database.
    fs::create_directories(home / ".pki/nssdb");
    writeFile(home / "snap/firefox/common/.mozilla/firefox/profiles.ini",
              "[Profile0]\nName=snappy\nIsRelative=1\nPath=s1.snappy\n"
              "[Profile1]\nName=linked\nIsRelative=1\nPath=linked\n");
    fs::create_directory_symlink(home / ".pki/nssdb",
                                 home / "snap/firefox/common/.mozilla/firefox/linked");

    const std::string snap = "snap/firefox/common/.mozilla/firefox/";
    const std::string flatpak = ".var/app/org.mozilla.firefox/.mozilla/firefox/";
    EXPECT_EQ(listed(platform::userNssDatabases(home), home),
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
        for (const auto& [folder, name] : listed(platform::userNssDatabases(home), home)) {
            folders.push_back(folder);
        }
        std::vector<std::string> expected{".pki/nssdb"};
        expected.insert(expected.end(), c.listed.begin(), c.listed.end());
        EXPECT_EQ(folders, expected) << c.ini;
    }
}

TEST(NssModuleList, VendorModulesOnlyInFileOrder) {
    // The internal module as certutil writes it, the built-in roots as older Firefox did, and
    // p11-kit's stand-ins for them; then two vendor modules.
    const std::string pkcs11Txt =
        "library=\n"
        "name=NSS Internal PKCS #11 Module\n"
        "parameters=configdir='sql:/home/u/.pki/nssdb' certPrefix='' keyPrefix='' "
        "secmod='secmod.db' flags= updatedir='' updateCertPrefix='' updateKeyPrefix='' "
        "updateid='' updateTokenDescription='' \n"
        "NSS=Flags=internal,critical trustOrder=75 cipherOrder=100 "
        "slotParams=(1={slotFlags=[ECC,RSA,DSA,DH,RC2,RC4,DES,RANDOM,SHA1,MD5,MD2,SSL,TLS,AES,"
        "Camellia,SEED,SHA256,SHA512] askpw=any timeout=30})\n"
        "\n"
        "library=/usr/lib/firefox/libnssckbi.so\n"
        "name=Builtin Roots Module\n"
        "NSS=trustOrder=100\n"
        "\n"
        "library=/usr/lib/x86_64-linux-gnu/pkcs11/p11-kit-trust.so\n"
        "name=p11-kit trust\n"
        "\n"
        "library=p11-kit-proxy.so\n"
        "name=p11-kit-proxy\n"
        "\n"
        "library=/opt/vendor/lib/libvendor-pkcs11.so\n"
        "name=Vendor Card\n"
        "NSS=trustOrder=50\n"
        "\n"
        "# a comment line\n"
        "library=opensc-pkcs11.so\r\n"
        "name=OpenSC\r\n";
    const auto modules = platform::parseNssModuleList(pkcs11Txt);
    ASSERT_EQ(modules.size(), 2u);
    EXPECT_EQ(modules[0].name, "Vendor Card");
    EXPECT_EQ(modules[0].library, "/opt/vendor/lib/libvendor-pkcs11.so");
    EXPECT_EQ(modules[1].name, "OpenSC");
    EXPECT_EQ(modules[1].library, "opensc-pkcs11.so");
}

}  // namespace
}  // namespace kivo::testing
