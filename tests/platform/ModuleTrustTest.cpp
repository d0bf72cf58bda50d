// Which PKCS#11 libraries that NSS databases name the key store may load: none that a sandboxed
// browser could have written or named, and none that another user could have placed. The
// library stands in for a hostile one: loading it leaves a marker file.

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/Pkcs11KeyStore.h"
#include "support/KeyStoreFixtures.h"

namespace kivo::testing {
namespace {

namespace fs = std::filesystem;

TEST(ModuleTrust, OnlyLibrariesNoSandboxOrOtherUserCouldPlaceAreLoaded) {
    const std::string flatpak = ".var/app/org.mozilla.firefox";
    const std::string snap = "snap/firefox/common/.mozilla/firefox";
    const struct {
        std::string database;   // below home; a sandbox's profile is listed in its profiles.ini
        std::string library;    // below home
        bool relative = false;  // named by its path below home instead of its absolute path
        std::string writableByAll = "";  // below home
        bool otherOwner = false;         // needs root
        bool loaded = false;
    } cases[] = {
        {flatpak + "/.mozilla/firefox/p", flatpak + "/libvendor-pkcs11.so"},
        {snap + "/p", "private/lib.so"},
        {".pki/nssdb", flatpak + "/lib.so"},
        {".pki/nssdb", "shared/lib.so", false, "shared"},
        {".pki/nssdb", "private/lib.so", false, "private/lib.so"},
        {".pki/nssdb", "private/lib.so", false, "", true},
        {".pki/nssdb", "private/lib.so", true},
        {".pki/nssdb", "private/lib.so", false, "", false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.database + " names " + c.library);
        if (c.otherOwner && ::geteuid() != 0) {
            continue;
        }
        TempDir dir;
        const fs::path home = dir / "home";
        const fs::path library = home / c.library;
        fs::create_directories(library.parent_path());
        fs::copy_file(KIVO_MARKER_MODULE, library);
        writeFile(home / c.database / "pkcs11.txt",
                  "library=" + (c.relative ? c.library : library.string()) + "\nname=Vendor\n");
        const fs::path profiles = home / c.database / "../profiles.ini";
        writeFile(profiles, "[Profile0]\nPath=p\n");
        if (!c.writableByAll.empty()) {
            fs::permissions(home / c.writableByAll, fs::perms::others_all, fs::perm_options::add);
        }
        if (c.otherOwner) {
            ASSERT_EQ(::chown(library.c_str(), 65534, 65534), 0);
        }
        const fs::path marker = dir / "loaded";
        const ScopedEnvironment env(
            {{"HOME", home.string()}, {"KIVO_TEST_MARKER", marker.string()}});
        platform::Pkcs11KeyStore(platform::defaultKeyStoreOptions()).tokenIds();
        EXPECT_EQ(fs::exists(marker), c.loaded);
    }
}

}  // namespace
}  // namespace kivo::testing
